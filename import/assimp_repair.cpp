#include "import/assimp_repair.h"

#include <assimp/scene.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "import/assimp_load.h"

namespace scene::assimp {

namespace {

std::string Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

std::string Quoted(const aiString& s) {
  std::string q(1, '\'');
  q.append(s.C_Str(), s.length).push_back('\'');
  return q;
}

template <class Key>
double LastTime(const Key* keys, unsigned n) {
  double t = -INFINITY;
  for (unsigned i = 0; i < n; ++i)
    if (std::isfinite(keys[i].mTime)) t = std::max(t, keys[i].mTime);
  return t;
}

// Channels without any key are dropped, and so are animations left without
// channels; a duration shorter than the last key becomes the last key's time.
void RepairAnimations(aiScene& s, std::vector<std::string>& out) {
  unsigned kept = 0;
  for (unsigned a = 0; a < s.mNumAnimations; ++a) {
    aiAnimation* anim = s.mAnimations[a];
    if (!anim) continue;
    const std::string name = "animation " + Quoted(anim->mName);
    unsigned channels = 0, empty = 0;
    double last = -INFINITY;
    for (unsigned c = 0; c < anim->mNumChannels; ++c) {
      aiNodeAnim* ch = anim->mChannels[c];
      if (!ch || (!ch->mNumPositionKeys && !ch->mNumRotationKeys && !ch->mNumScalingKeys)) {
        delete ch;
        ++empty;
        continue;
      }
      last = std::max({last, LastTime(ch->mPositionKeys, ch->mNumPositionKeys),
                       LastTime(ch->mRotationKeys, ch->mNumRotationKeys),
                       LastTime(ch->mScalingKeys, ch->mNumScalingKeys)});
      anim->mChannels[channels++] = ch;
    }
    anim->mNumChannels = channels;
    if (!channels) {
      // Assimp frees the array only when it counts channels in it.
      delete[] anim->mChannels;
      anim->mChannels = nullptr;
    }
    if (empty) out.push_back(name + ": " + std::to_string(empty) + " channels without keys dropped");
    if (!channels && !anim->mNumMeshChannels && !anim->mNumMorphMeshChannels) {
      out.push_back(name + ": no channel with keys; the animation is dropped");
      delete anim;
      continue;
    }
    if (std::isfinite(last) && last > anim->mDuration) {
      out.push_back(name + ": duration " + Number(anim->mDuration) + " ticks raised to the last key's time " +
                    Number(last));
      anim->mDuration = last;
    }
    s.mAnimations[kept++] = anim;
  }
  if (!kept && s.mNumAnimations) {
    delete[] s.mAnimations;
    s.mAnimations = nullptr;
  }
  s.mNumAnimations = kept;
}

// The mesh Assimp builds from the skeleton of a scene that has none (COLLADA
// files of cameras or lights): geometry the source does not hold. It is
// unnamed, referred to by the root node alone, with the builder's material.
bool IsSkeletonPlaceholder(const aiScene& s, const aiMesh& mesh) {
  if (mesh.mName.length || mesh.mMaterialIndex >= s.mNumMaterials || !s.mMaterials[mesh.mMaterialIndex])
    return false;
  aiString name;
  s.mMaterials[mesh.mMaterialIndex]->Get(AI_MATKEY_NAME, name);
  return std::string_view(name.C_Str(), name.length) == "SkeletonMaterial";
}

// Meshes without a face (point clouds) hold nothing that can be exported,
// and placeholders nothing of the source: they leave the scene and the nodes
// that referred to them.
void DropMeshes(aiScene& s, std::vector<std::string>& out) {
  std::vector<int> newIndex(s.mNumMeshes, -1);
  // Placeholders only where the root node alone refers to them.
  std::vector<unsigned> refs(s.mNumMeshes, 0);
  std::vector<aiNode*> stack;
  if (s.mRootNode) stack.push_back(s.mRootNode);
  while (!stack.empty()) {
    aiNode* n = stack.back();
    stack.pop_back();
    for (unsigned i = 0; i < n->mNumMeshes; ++i)
      if (n->mMeshes[i] < refs.size()) refs[n->mMeshes[i]] += n == s.mRootNode ? 1 : 2;
    for (unsigned c = 0; c < n->mNumChildren; ++c)
      if (n->mChildren && n->mChildren[c]) stack.push_back(n->mChildren[c]);
  }
  unsigned kept = 0;
  for (unsigned m = 0; m < s.mNumMeshes; ++m) {
    aiMesh* mesh = s.mMeshes[m];
    const bool faces = mesh && mesh->mNumFaces && mesh->mFaces && mesh->mNumVertices;
    const bool placeholder = faces && refs[m] == 1 && IsSkeletonPlaceholder(s, *mesh);
    if (faces && !placeholder) {
      newIndex[m] = static_cast<int>(kept);
      s.mMeshes[kept++] = mesh;
      continue;
    }
    std::string line = "mesh ";
    line += mesh ? Quoted(mesh->mName) : std::string("''");
    line += placeholder ? " is a placeholder Assimp built from the skeleton; it is not exported"
            : mesh && mesh->mNumVertices ? " has no faces (a point cloud); it is not exported"
                                         : " is empty; it is not exported";
    out.push_back(std::move(line));
    delete mesh;
  }
  if (kept == s.mNumMeshes) return;
  s.mNumMeshes = kept;
  if (!kept) {
    delete[] s.mMeshes;
    s.mMeshes = nullptr;
    // A scene without meshes passes Assimp's checks only marked incomplete.
    s.mFlags |= AI_SCENE_FLAGS_INCOMPLETE;
  }
  if (s.mRootNode) stack.push_back(s.mRootNode);
  while (!stack.empty()) {
    aiNode* n = stack.back();
    stack.pop_back();
    unsigned count = 0;
    for (unsigned i = 0; i < n->mNumMeshes; ++i)
      if (n->mMeshes[i] < newIndex.size() && newIndex[n->mMeshes[i]] >= 0)
        n->mMeshes[count++] = static_cast<unsigned>(newIndex[n->mMeshes[i]]);
      else if (n->mMeshes[i] >= newIndex.size())
        n->mMeshes[count++] = n->mMeshes[i];  // out of range: Assimp's checks refuse it
    n->mNumMeshes = count;
    for (unsigned c = 0; c < n->mNumChildren; ++c)
      if (n->mChildren && n->mChildren[c]) stack.push_back(n->mChildren[c]);
  }
}

// Lights and cameras whose cone or clip range is reversed.
void RepairLightsAndCameras(aiScene& s, std::vector<std::string>& out) {
  for (unsigned i = 0; i < s.mNumLights; ++i) {
    aiLight* l = s.mLights[i];
    if (l && l->mAngleInnerCone > l->mAngleOuterCone) {
      out.push_back("light " + Quoted(l->mName) + ": inner cone wider than the outer one; narrowed to it");
      l->mAngleInnerCone = l->mAngleOuterCone;
    }
  }
  for (unsigned i = 0; i < s.mNumCameras; ++i) {
    aiCamera* c = s.mCameras[i];
    if (c && c->mClipPlaneFar < c->mClipPlaneNear) c->mClipPlaneFar = c->mClipPlaneNear;  // not exported
  }
}

}  // namespace

std::vector<std::string> Repair(aiScene& s) {
  std::vector<std::string> out;
  RepairAnimations(s, out);
  DropMeshes(s, out);
  RepairLightsAndCameras(s, out);
  return out;
}

}  // namespace scene::assimp
