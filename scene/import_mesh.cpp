// The meshes of an imported node: one host mesh with its faces, texture
// coordinates, smoothing groups rebuilt from the source's normals, and a
// skin posed at tick 0.
#include <assimp/scene.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "scene/assimp_load.h"
#include "scene/import_builder.h"
#include "scene/import_detail.h"
#include "scene/import_smooth.h"

namespace scene {

namespace import_detail {

std::vector<float> LimitWeights(std::vector<float> row, int maxInfluences, bool normalize) {
  if (maxInfluences > 0) {
    std::vector<int> order;
    for (size_t j = 0; j < row.size(); ++j)
      if (row[j] != 0.0f) order.push_back(static_cast<int>(j));
    if (static_cast<int>(order.size()) > maxInfluences) {
      // Largest first; equal weights keep the lower bone.
      std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return row[a] > row[b]; });
      for (size_t k = static_cast<size_t>(maxInfluences); k < order.size(); ++k) row[order[k]] = 0.0f;
    }
  }
  if (normalize) {
    double sum = 0;
    for (float w : row) sum += w;
    if (sum > 0 && std::isfinite(sum))
      for (float& w : row) w = static_cast<float>(w / sum);
  }
  return row;
}

}  // namespace import_detail

void Builder::MakeMesh(const aiNode* an, Node& node) {
  const std::string nodeName = assimp::Str(an->mName);
  std::vector<const aiMesh*> meshes;
  for (unsigned i = 0; i < an->mNumMeshes; ++i) {
    const aiMesh* m = ai_.mMeshes[an->mMeshes[i]];
    bool tris = false;
    for (unsigned f = 0; f < m->mNumFaces && !tris; ++f) tris = m->mFaces[f].mNumIndices == 3;
    if (!tris) {
      Warn("node '" + nodeName + "': mesh '" + assimp::Str(m->mName) +
           "' has no triangles (points and lines are not exported)");
      continue;
    }
    meshes.push_back(m);
  }
  if (meshes.empty()) return;

  // Materials and bones in order of first use.
  std::vector<unsigned> usedMats;
  std::vector<std::string> boneNames;
  std::map<std::string, int> boneIndex;
  bool allNormals = true, anyUV = false;
  for (const aiMesh* m : meshes) {
    if (std::find(usedMats.begin(), usedMats.end(), m->mMaterialIndex) == usedMats.end())
      usedMats.push_back(m->mMaterialIndex);
    allNormals = allNormals && m->HasNormals();
    anyUV = anyUV || m->HasTextureCoords(0);
    for (unsigned b = 0; b < m->mNumBones; ++b) {
      std::string bn = assimp::Str(m->mBones[b]->mName);
      if (boneIndex.count(bn)) continue;
      if (!ByName(bn)) {
        Warn("node '" + nodeName + "': bone '" + bn + "' names no node; its weights are dropped");
        boneIndex[bn] = -1;
        continue;
      }
      boneIndex[bn] = static_cast<int>(boneNames.size());
      boneNames.push_back(bn);
    }
  }
  const bool skinned = !boneNames.empty();
  const size_t nb = boneNames.size();
  const Matrix3 meshWorld = node.WorldTM(0);
  const Matrix3 meshWorldInv = Inverse(meshWorld);

  auto& obj = s_->Make<MeshObject>();
  Mesh& mesh = obj.mesh;
  std::vector<std::vector<float>> rows;
  std::unordered_map<std::string, int> weld, tweld;
  std::vector<std::array<Point3, 3>> cornerNormals;
  int dropped = 0;

  for (const aiMesh* m : meshes) {
    // Per source vertex: its weights as the skin modifier will report them.
    std::vector<std::vector<float>> w(skinned ? m->mNumVertices : 0, std::vector<float>(nb, 0.0f));
    std::vector<Matrix3> offsets(nb);
    if (skinned) {
      for (unsigned b = 0; b < m->mNumBones; ++b) {
        const aiBone& bone = *m->mBones[b];
        int j = boneIndex[assimp::Str(bone.mName)];
        if (j < 0) continue;
        offsets[j] = assimp::ToHost(bone.mOffsetMatrix);
        for (unsigned k = 0; k < bone.mNumWeights; ++k) {
          unsigned v = bone.mWeights[k].mVertexId;
          if (v < m->mNumVertices) w[v][j] += bone.mWeights[k].mWeight;
        }
      }
      for (auto& row : w)
        row = import_detail::LimitWeights(std::move(row), opt_.maxInfluences, opt_.normalizeWeights);
    }
    std::vector<int> hostOf(m->mNumVertices);
    for (unsigned v = 0; v < m->mNumVertices; ++v) {
      const aiVector3D& p = m->mVertices[v];
      std::string key(reinterpret_cast<const char*>(&p), sizeof p);
      if (skinned) key.append(reinterpret_cast<const char*>(w[v].data()), nb * sizeof(float));
      auto [it, fresh] = weld.emplace(key, static_cast<int>(mesh.verts.size()));
      hostOf[v] = it->second;
      if (!fresh) continue;
      Point3 pos(p.x, p.y, p.z);
      if (skinned) {
        // The tick-0 pose: each bone carries the bind-pose vertex from the
        // mesh's space into its own, then to the world as it stands at tick 0.
        double sum = 0, acc[3] = {0, 0, 0};
        const double src[3] = {p.x, p.y, p.z};
        for (size_t j = 0; j < nb; ++j) {
          if (w[v][j] == 0.0f) continue;
          double inBone[3], world[3];
          Apply(offsets[j], src, inBone);
          Apply(ByName(boneNames[j])->WorldTM(0), inBone, world);
          for (int k = 0; k < 3; ++k) acc[k] += w[v][j] * world[k];
          sum += w[v][j];
        }
        if (sum != 0 && std::isfinite(sum)) {
          double world[3] = {acc[0] / sum, acc[1] / sum, acc[2] / sum}, local[3];
          Apply(meshWorldInv, world, local);
          pos = Point3(float(local[0]), float(local[1]), float(local[2]));
        }
        rows.push_back(w[v]);
      }
      mesh.verts.push_back(pos);
    }
    std::vector<int> tvOf;
    if (anyUV) {
      tvOf.resize(m->mNumVertices);
      for (unsigned v = 0; v < m->mNumVertices; ++v) {
        aiVector3D t = m->HasTextureCoords(0) ? m->mTextureCoords[0][v] : aiVector3D(0, 0, 0);
        std::string key(reinterpret_cast<const char*>(&t), sizeof t);
        auto [it, fresh] = tweld.emplace(key, static_cast<int>(mesh.tVerts.size()));
        if (fresh) mesh.tVerts.push_back(Point3(t.x, t.y, t.z));
        tvOf[v] = it->second;
      }
    }
    const uint16_t matId = static_cast<uint16_t>(
        std::find(usedMats.begin(), usedMats.end(), m->mMaterialIndex) - usedMats.begin());
    for (unsigned f = 0; f < m->mNumFaces; ++f) {
      const aiFace& af = m->mFaces[f];
      if (af.mNumIndices != 3) {
        ++dropped;
        continue;
      }
      Face face;
      TVFace tf;
      std::array<Point3, 3> n;
      for (int k = 0; k < 3; ++k) {
        unsigned v = af.mIndices[k];
        if (v >= m->mNumVertices)
          assimp::Fail(path_, "mesh '" + assimp::Str(m->mName) + "': vertex index out of range");
        face.v[k] = hostOf[v];
        if (anyUV) tf.t[k] = tvOf[v];
        if (allNormals) n[k] = Point3(m->mNormals[v].x, m->mNormals[v].y, m->mNormals[v].z);
      }
      face.setMatID(usedMats.size() > 1 ? matId : 0);
      mesh.faces.push_back(face);
      if (anyUV) mesh.tvFace.push_back(tf);
      if (allNormals) cornerNormals.push_back(n);
    }
  }
  if (dropped)
    Warn("node '" + nodeName + "': " + std::to_string(dropped) + " faces that are not triangles dropped");
  // Positions that are not finite numbers cannot be welded or exported: such
  // vertices move to the origin and the faces using them are dropped.
  std::vector<bool> bad(mesh.verts.size(), false);
  int badCount = 0;
  for (size_t i = 0; i < mesh.verts.size(); ++i) {
    const Point3& p = mesh.verts[i];
    if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) continue;
    bad[i] = true;
    mesh.verts[i] = Point3(0, 0, 0);
    ++badCount;
  }
  if (badCount) {
    size_t kept = 0;
    for (size_t f = 0; f < mesh.faces.size(); ++f) {
      const Face& face = mesh.faces[f];
      if (bad[face.v[0]] || bad[face.v[1]] || bad[face.v[2]]) continue;
      mesh.faces[kept] = face;
      if (!mesh.tvFace.empty()) mesh.tvFace[kept] = mesh.tvFace[f];
      if (!cornerNormals.empty()) cornerNormals[kept] = cornerNormals[f];
      ++kept;
    }
    Warn("node '" + nodeName + "': " + std::to_string(badCount) + " vertices are not finite; " +
         std::to_string(mesh.faces.size() - kept) + " faces using them dropped");
    mesh.faces.resize(kept);
    if (!mesh.tvFace.empty()) mesh.tvFace.resize(kept);
    if (!cornerNormals.empty()) cornerNormals.resize(kept);
  }

  // Smoothing groups, over positions as the plug-in will weld them.
  std::vector<Point3> out(mesh.verts.size());
  const float scale = static_cast<float>(s_->masterScale);
  for (size_t i = 0; i < out.size(); ++i) out[i] = (meshWorld * mesh.verts[i]) * scale;
  int clusters = 0;
  std::vector<int> cluster = smoothing::ClusterPositions(out, 2e-5, &clusters);
  std::vector<smoothing::Tri> tris;
  tris.reserve(mesh.faces.size());
  for (const Face& f : mesh.faces) tris.push_back({cluster[f.v[0]], cluster[f.v[1]], cluster[f.v[2]]});
  smoothing::Result sm;
  if (allNormals) {
    sm = smoothing::FromNormals(tris, cornerNormals, clusters);
  } else {
    std::vector<Point3> at(clusters);
    for (size_t i = 0; i < out.size(); ++i) at[cluster[i]] = out[i];
    sm = smoothing::FromAngle(tris, at, opt_.smoothAngleDeg);
  }
  for (size_t f = 0; f < mesh.faces.size(); ++f) mesh.faces[f].smGroup = sm.words[f];
  if (sm.keptHard)
    Warn("node '" + nodeName + "': " + std::to_string(sm.keptHard) +
         " smooth joins could not be expressed in smoothing groups and stay hard");
  if (sm.flattened)
    Warn("node '" + nodeName + "': " + std::to_string(sm.flattened) +
         " smooth patches found no free smoothing group and are exported flat");

  node.SetObject(&obj);
  node.material = NodeMaterial(usedMats);
  if (skinned) {
    auto& skin = s_->Make<SkinModifier>();
    for (const std::string& bn : boneNames) skin.bones.push_back({ByName(bn), "", {0, 0, 0}});
    skin.weights = std::move(rows);
    node.AddModifier(&skin);
  }
}

}  // namespace scene
