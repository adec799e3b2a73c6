// Two Assimp scenes compared field by field (nodes, meshes, materials): the
// first difference, or empty. For comparing our readers with Assimp's loaders.
#pragma once

#include <assimp/scene.h>

#include <cstring>
#include <string>

#include "import/assimp_load.h"

namespace tarntest {

using scene::assimp::Str;

template <class T>
bool SameArray(const T* a, const T* b, unsigned n) {
  if (!a || !b) return a == b;
  return std::memcmp(a, b, sizeof(T) * n) == 0;
}

inline std::string CompareNodes(const aiNode* a, const aiNode* b, const std::string& at) {
  if (!a || !b) return a == b ? "" : at + ": one side has no node";
  const std::string here = at + "/" + Str(a->mName);
  if (Str(a->mName) != Str(b->mName)) return here + ": name " + Str(b->mName);
  if (a->mNumMeshes != b->mNumMeshes || !SameArray(a->mMeshes, b->mMeshes, a->mNumMeshes))
    return here + ": meshes differ";
  if (a->mNumChildren != b->mNumChildren) return here + ": number of children differs";
  if (std::memcmp(&a->mTransformation, &b->mTransformation, sizeof a->mTransformation) != 0)
    return here + ": transform differs";
  for (unsigned c = 0; c < a->mNumChildren; ++c)
    if (std::string d = CompareNodes(a->mChildren[c], b->mChildren[c], here); !d.empty()) return d;
  return "";
}

inline std::string CompareMeshes(const aiMesh& a, const aiMesh& b, const std::string& at) {
  if (Str(a.mName) != Str(b.mName)) return at + ": name " + Str(a.mName) + " / " + Str(b.mName);
  if (a.mMaterialIndex != b.mMaterialIndex) return at + ": material index";
  if (a.mPrimitiveTypes != b.mPrimitiveTypes) return at + ": primitive types";
  if (a.mNumVertices != b.mNumVertices) return at + ": number of vertices";
  if (a.mNumFaces != b.mNumFaces) return at + ": number of faces";
  const unsigned n = a.mNumVertices;
  if (!SameArray(a.mVertices, b.mVertices, n)) return at + ": positions";
  if (!SameArray(a.mNormals, b.mNormals, n)) return at + ": normals";
  for (unsigned c = 0; c < AI_MAX_NUMBER_OF_TEXTURECOORDS; ++c) {
    if (!SameArray(a.mTextureCoords[c], b.mTextureCoords[c], n)) return at + ": texture coordinates";
    if (a.mTextureCoords[c] && a.mNumUVComponents[c] != b.mNumUVComponents[c]) return at + ": UV components";
  }
  for (unsigned c = 0; c < AI_MAX_NUMBER_OF_COLOR_SETS; ++c)
    if (!SameArray(a.mColors[c], b.mColors[c], n)) return at + ": colours";
  if (a.mNumBones != b.mNumBones) return at + ": number of bones";
  for (unsigned i = 0; i < a.mNumBones; ++i) {
    const aiBone &ba = *a.mBones[i], &bb = *b.mBones[i];
    if (Str(ba.mName) != Str(bb.mName) || ba.mNumWeights != bb.mNumWeights ||
        !SameArray(ba.mWeights, bb.mWeights, ba.mNumWeights) ||
        std::memcmp(&ba.mOffsetMatrix, &bb.mOffsetMatrix, sizeof ba.mOffsetMatrix) != 0)
      return at + ": bone " + Str(ba.mName);
  }
  for (unsigned f = 0; f < a.mNumFaces; ++f) {
    const aiFace &fa = a.mFaces[f], &fb = b.mFaces[f];
    if (fa.mNumIndices != fb.mNumIndices || !SameArray(fa.mIndices, fb.mIndices, fa.mNumIndices))
      return at + ": face " + std::to_string(f);
  }
  return "";
}

inline std::string CompareMaterials(const aiMaterial& a, const aiMaterial& b, const std::string& at) {
  if (a.mNumProperties != b.mNumProperties) return at + ": number of properties";
  for (unsigned p = 0; p < a.mNumProperties; ++p) {
    const aiMaterialProperty &pa = *a.mProperties[p], &pb = *b.mProperties[p];
    if (Str(pa.mKey) != Str(pb.mKey) || pa.mSemantic != pb.mSemantic || pa.mIndex != pb.mIndex ||
        pa.mType != pb.mType || pa.mDataLength != pb.mDataLength ||
        std::memcmp(pa.mData, pb.mData, pa.mDataLength) != 0)
      return at + ": property " + Str(pa.mKey);
  }
  return "";
}

inline std::string CompareScenes(const aiScene& a, const aiScene& b) {
  if (std::string d = CompareNodes(a.mRootNode, b.mRootNode, ""); !d.empty()) return d;
  if (a.mNumMeshes != b.mNumMeshes) return "number of meshes";
  for (unsigned m = 0; m < a.mNumMeshes; ++m)
    if (std::string d = CompareMeshes(*a.mMeshes[m], *b.mMeshes[m], "mesh " + std::to_string(m)); !d.empty())
      return d;
  if (a.mNumTextures != b.mNumTextures) return "number of embedded textures";
  for (unsigned t = 0; t < a.mNumTextures; ++t) {
    const aiTexture &ta = *a.mTextures[t], &tb = *b.mTextures[t];
    // A compressed texture (height 0) holds `width` bytes.
    const size_t bytes = ta.mHeight ? size_t(ta.mWidth) * ta.mHeight * sizeof(aiTexel) : ta.mWidth;
    if (ta.mWidth != tb.mWidth || ta.mHeight != tb.mHeight ||
        std::strcmp(ta.achFormatHint, tb.achFormatHint) != 0 || !ta.pcData != !tb.pcData ||
        (ta.pcData && std::memcmp(ta.pcData, tb.pcData, bytes) != 0))
      return "embedded texture " + std::to_string(t);
  }
  if (a.mNumLights != b.mNumLights || a.mNumCameras != b.mNumCameras || a.mNumAnimations != b.mNumAnimations)
    return "numbers of lights, cameras or animations";
  for (unsigned i = 0; i < a.mNumLights; ++i)
    if (Str(a.mLights[i]->mName) != Str(b.mLights[i]->mName) || a.mLights[i]->mType != b.mLights[i]->mType)
      return "light " + std::to_string(i);
  for (unsigned i = 0; i < a.mNumAnimations; ++i)
    if (Str(a.mAnimations[i]->mName) != Str(b.mAnimations[i]->mName) ||
        a.mAnimations[i]->mNumChannels != b.mAnimations[i]->mNumChannels)
      return "animation " + std::to_string(i);
  if (a.mNumMaterials != b.mNumMaterials) return "number of materials";
  for (unsigned m = 0; m < a.mNumMaterials; ++m)
    if (std::string d = CompareMaterials(*a.mMaterials[m], *b.mMaterials[m], "material " + std::to_string(m));
        !d.empty())
      return d;
  return "";
}

}  // namespace tarntest
