// The meshes of an imported node: one host mesh with its faces, texture
// coordinates, smoothing groups rebuilt from the source's normals, and a
// skin posed at tick 0. Stage by stage, on flat arrays: no heap block per
// vertex or face.
#include <assimp/scene.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "import/assimp_load.h"
#include "import/builder.h"
#include "import/detail.h"
#include "import/weld.h"
#include "meshalgo/flat_index.h"
#include "meshalgo/parallel.h"
#include "meshalgo/release.h"
#include "meshalgo/smoothing.h"

namespace scene {

namespace import_detail {

void LimitWeights(std::span<float> row, int maxInfluences, bool normalize, std::vector<int>& order) {
  if (maxInfluences > 0) {
    order.clear();
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
}

}  // namespace import_detail

namespace {

// What the meshes of one node share: their materials and bones in order of
// first use, and whether every mesh has normals and any has coordinates.
struct Plan {
  std::vector<const aiMesh*> meshes;
  std::vector<unsigned> indices;  // each mesh's index in the scene
  std::vector<unsigned> usedMats;
  std::vector<std::string> boneNames;
  std::map<std::string, int> boneIndex;  // -1: a bone that names no node
  bool allNormals = true, anyUV = false;
};

// A node's host mesh while it is built: for a skinned mesh, the source position
// and the weight row of each host vertex, which together weld.
struct Building {
  Mesh& mesh;
  size_t nb;
  std::vector<aiVector3D> source;  // per host vertex
  std::vector<float> rows;         // per host vertex, nb weights
  std::vector<std::array<Point3, 3>> cornerNormals;
  IdIndex positions{1024};
  std::vector<uint8_t> mirrored{};  // per host vertex: its baked pose mirrors
};

// Whether the pose a vertex is baked in, from the mesh's space to the one it
// is stored in, mirrors: the sign of the blended linear part's determinant.
bool BlendMirrors(const std::vector<Matrix3>& offsets, const std::vector<Matrix3>& boneWorld,
                  const Matrix3& meshWorldInv, const float* row) {
  double l[3][3] = {};
  for (size_t j = 0; j < offsets.size(); ++j) {
    if (row[j] == 0.0f) continue;
    const Matrix3 m = offsets[j] * boneWorld[j] * meshWorldInv;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) l[r][c] += double(row[j]) * m[r][c];
  }
  const double det = l[0][0] * (l[1][1] * l[2][2] - l[1][2] * l[2][1]) -
                     l[0][1] * (l[1][0] * l[2][2] - l[1][2] * l[2][0]) +
                     l[0][2] * (l[1][0] * l[2][1] - l[1][1] * l[2][0]);
  return det < 0;
}

// Frees one of a mesh's arrays. Assimp hands the scene over as const, but it
// is the importer's own until the Importer goes, and the Importer frees null
// arrays as it frees full ones.
template <class T>
void Drop(T* const& array) {
  T*& owned = const_cast<T*&>(array);
  delete[] owned;
  owned = nullptr;
}

// Frees what a mesh holds per vertex and per face; its bones stay.
void ReleaseGeometry(const aiMesh& m) {
  Drop(m.mVertices);
  Drop(m.mNormals);
  Drop(m.mTangents);
  Drop(m.mBitangents);
  for (auto* const& colours : m.mColors) Drop(colours);
  for (auto* const& coordinates : m.mTextureCoords) Drop(coordinates);
  Drop(m.mFaces);
  const_cast<aiMesh&>(m).mNumFaces = 0;
  const_cast<aiMesh&>(m).mNumVertices = 0;
}

}  // namespace

void Builder::MakeMesh(const aiNode* an, Node& node) {
  const std::string nodeName = assimp::Str(an->mName);
  Plan plan;
  for (unsigned i = 0; i < an->mNumMeshes; ++i) {
    const aiMesh* m = ai_.mMeshes[an->mMeshes[i]];
    bool tris = false;
    for (unsigned f = 0; f < m->mNumFaces && !tris; ++f) tris = m->mFaces[f].mNumIndices == 3;
    if (!tris) {
      Warn("node '" + nodeName + "': mesh '" + assimp::Str(m->mName) +
           "' has no triangles (points and lines are not exported)");
      continue;
    }
    plan.meshes.push_back(m);
    plan.indices.push_back(an->mMeshes[i]);
  }
  if (plan.meshes.empty()) return;

  for (const aiMesh* m : plan.meshes) {
    if (std::find(plan.usedMats.begin(), plan.usedMats.end(), m->mMaterialIndex) == plan.usedMats.end())
      plan.usedMats.push_back(m->mMaterialIndex);
    plan.allNormals = plan.allNormals && m->HasNormals();
    plan.anyUV = plan.anyUV || m->HasTextureCoords(0);
    for (unsigned b = 0; b < m->mNumBones; ++b) {
      std::string bn = assimp::Str(m->mBones[b]->mName);
      if (plan.boneIndex.count(bn)) continue;
      if (!ByName(bn)) {
        Warn("node '" + nodeName + "': bone '" + bn + "' names no node; its weights are dropped");
        plan.boneIndex[bn] = -1;
        continue;
      }
      plan.boneIndex[bn] = static_cast<int>(plan.boneNames.size());
      plan.boneNames.push_back(bn);
    }
  }
  const bool skinned = !plan.boneNames.empty();
  const size_t nb = plan.boneNames.size();
  const Matrix3 meshWorld = node.WorldTM(0);
  const Matrix3 meshWorldInv = Inverse(meshWorld);
  // Each bone's world at tick 0, asked once.
  std::vector<Matrix3> boneWorld(nb);
  for (size_t j = 0; j < nb; ++j) boneWorld[j] = ByName(plan.boneNames[j])->WorldTM(0);

  auto& obj = s_->Make<MeshObject>();
  Building b{obj.mesh, nb, {}, {}, {}};
  Mesh& mesh = obj.mesh;
  int dropped = 0;
  std::vector<float> w;  // the weights of the mesh's source vertices
  std::vector<int> scratch, hostOf;
  std::vector<Matrix3> offsets(nb);
  // Room for every source vertex and face at once: no growing copies of
  // large meshes, and pages past what welding keeps are never touched.
  size_t sourceVertices = 0, sourceFaces = 0;
  for (const aiMesh* m : plan.meshes) {
    sourceVertices += m->mNumVertices;
    sourceFaces += m->mNumFaces;
  }
  mesh.verts.reserve(sourceVertices);
  if (skinned) b.source.reserve(sourceVertices);
  b.mirrored.reserve(sourceVertices);
  mesh.faces.reserve(sourceFaces);
  if (plan.anyUV) {
    mesh.tVerts.reserve(sourceVertices);
    mesh.tvFace.reserve(sourceFaces);
  }
  if (plan.allNormals) b.cornerNormals.reserve(sourceFaces);

  // Arrays no stage reads go first, where no other node, nor this one again,
  // reads the mesh: the mesh and ours are then never held whole at once.
  std::vector<char> lastRead(plan.meshes.size(), 0);
  for (size_t mi = 0; mi < plan.meshes.size(); ++mi) {
    const unsigned index = plan.indices[mi];
    if (index >= meshUses_.size() || meshUses_[index] != 1) continue;
    lastRead[mi] = 1;
    const aiMesh* m = plan.meshes[mi];
    Drop(m->mTangents);
    Drop(m->mBitangents);
    for (auto* const& colours : m->mColors) Drop(colours);
    for (unsigned c = 1; c < AI_MAX_NUMBER_OF_TEXTURECOORDS; ++c) Drop(m->mTextureCoords[c]);
  }

  // Unskinned vertices weld by their bytes alone: over all the node's meshes
  // at once on the import's threads, helped by the reader's hints where they
  // fit a mesh (weld_hint.h). Each mesh's vertices are numbered from `first`.
  std::vector<size_t> first(plan.meshes.size() + 1, 0);
  for (size_t mi = 0; mi < plan.meshes.size(); ++mi)
    first[mi + 1] = first[mi] + plan.meshes[mi]->mNumVertices;
  std::vector<int> hostOfAll, tvOfAll;
  std::vector<WeldRun> positions, coordinates;
  uint32_t positionEntries = 0, coordinateEntries = 0;
  static const aiVector3D kNoCoordinate(0, 0, 0);
  for (size_t mi = 0; mi < plan.meshes.size(); ++mi) {
    const aiMesh* m = plan.meshes[mi];
    const unsigned index = plan.indices[mi];
    WeldHint* hint = hints_ && index < hints_->size() ? &(*hints_)[index] : nullptr;
    if (hint && hint->positions.size() != m->mNumVertices) hint = nullptr;
    positions.push_back(
        {m->mVertices, sizeof(aiVector3D), m->mNumVertices, hint ? hint->positions.data() : nullptr});
    if (hint) positionEntries = std::max(positionEntries, hint->positionCount);
    if (!plan.anyUV) continue;
    const bool uv = m->HasTextureCoords(0);
    const bool uvHint = uv && hint && hint->coordinates.size() == m->mNumVertices;
    coordinates.push_back({uv ? static_cast<const void*>(m->mTextureCoords[0]) : &kNoCoordinate,
                           uv ? sizeof(aiVector3D) : 0, m->mNumVertices,
                           uvHint ? hint->coordinates.data() : nullptr});
    if (uvHint) coordinateEntries = std::max(coordinateEntries, hint->coordinateCount);
  }
  // The key at `g` of the node's runs, one after another.
  auto keyAt = [&](const std::vector<WeldRun>& runs, size_t g) {
    const size_t mi =
        static_cast<size_t>(std::upper_bound(first.begin(), first.end(), g) - first.begin()) - 1;
    return *reinterpret_cast<const aiVector3D*>(static_cast<const char*>(runs[mi].bytes) +
                                                (g - first[mi]) * runs[mi].stride);
  };
  // Each kind goes once welded: the import holds the most here.
  auto done = [&](auto drop) {
    for (size_t mi = 0; mi < plan.meshes.size(); ++mi) {
      const unsigned index = plan.indices[mi];
      if (lastRead[mi])
        drop(*plan.meshes[mi], hints_ && index < hints_->size() ? &(*hints_)[index] : nullptr);
    }
  };
  if (!skinned) {
    Welded welded = Weld(positions, sizeof(aiVector3D), positionEntries, opt_.threads);
    for (size_t g : welded.first) {
      const aiVector3D p = keyAt(positions, g);
      mesh.verts.push_back(Point3(p.x, p.y, p.z));
    }
    b.mirrored.assign(mesh.verts.size(), 0);
    hostOfAll = std::move(welded.id);
    done([](const aiMesh& m, WeldHint* h) {
      Drop(m.mVertices);
      if (h) Release(h->positions);
    });
  }
  // Texture coordinates weld by their bytes alone, skinned or not.
  if (plan.anyUV) {
    Welded welded = Weld(coordinates, sizeof(aiVector3D), coordinateEntries, opt_.threads);
    for (size_t g : welded.first) {
      const aiVector3D t = keyAt(coordinates, g);
      mesh.tVerts.push_back(Point3(t.x, t.y, t.z));
    }
    tvOfAll = std::move(welded.id);
  }
  done([](const aiMesh& m, WeldHint* h) {
    Drop(m.mTextureCoords[0]);
    if (h) *h = WeldHint{};
  });

  for (size_t mi = 0; mi < plan.meshes.size(); ++mi) {
    const aiMesh* m = plan.meshes[mi];
    const size_t nv = m->mNumVertices;
    // Per source vertex: its weights as the skin modifier will report them.
    w.assign(skinned ? nv * nb : 0, 0.0f);
    if (skinned) {
      for (unsigned k = 0; k < m->mNumBones; ++k) {
        const aiBone& bone = *m->mBones[k];
        const int j = plan.boneIndex[assimp::Str(bone.mName)];
        if (j < 0) continue;
        offsets[j] = assimp::ToHost(bone.mOffsetMatrix);
        for (unsigned q = 0; q < bone.mNumWeights; ++q) {
          const unsigned v = bone.mWeights[q].mVertexId;
          if (v < nv) w[v * nb + static_cast<size_t>(j)] += bone.mWeights[q].mWeight;
        }
      }
      for (size_t v = 0; v < nv; ++v)
        import_detail::LimitWeights({w.data() + v * nb, nb}, opt_.maxInfluences, opt_.normalizeWeights,
                                    scratch);
    }

    // Skinned host vertices: equal source positions with equal weights weld.
    const int* hostOfMesh = hostOfAll.empty() ? nullptr : hostOfAll.data() + first[mi];
    const int* tvOfMesh = tvOfAll.empty() ? nullptr : tvOfAll.data() + first[mi];
    if (skinned) {
      hostOf.resize(nv);
      const size_t rowBytes = nb * sizeof(float);
      auto hashOf = [&](int id) {
        return HashBytes(&b.source[static_cast<size_t>(id)], sizeof(aiVector3D)) ^
               HashBytes(b.rows.data() + static_cast<size_t>(id) * nb, rowBytes) * 31;
      };
      for (size_t v = 0; v < nv; ++v) {
        const aiVector3D& p = m->mVertices[v];
        const float* row = w.data() + v * nb;
        const uint64_t h = HashBytes(&p, sizeof p) ^ HashBytes(row, rowBytes) * 31;
        const int fresh = static_cast<int>(mesh.verts.size());
        const int found = b.positions.FindOrInsert(
            h,
            [&](int id) {
              return std::memcmp(&b.source[static_cast<size_t>(id)], &p, sizeof p) == 0 &&
                     std::memcmp(b.rows.data() + static_cast<size_t>(id) * nb, row, rowBytes) == 0;
            },
            fresh, hashOf);
        if (found >= 0) {
          hostOf[v] = found;
          continue;
        }
        hostOf[v] = fresh;
        b.source.push_back(p);
        Point3 pos(p.x, p.y, p.z);
        bool mirrored = false;
        b.rows.insert(b.rows.end(), row, row + nb);
        // The tick-0 pose: each bone carries the bind-pose vertex from the
        // mesh's space into its own, then to the world as it stands at tick 0.
        double sum = 0, acc[3] = {0, 0, 0};
        const double src[3] = {p.x, p.y, p.z};
        for (size_t j = 0; j < nb; ++j) {
          if (row[j] == 0.0f) continue;
          double inBone[3], world[3];
          Apply(offsets[j], src, inBone);
          Apply(boneWorld[j], inBone, world);
          for (int k = 0; k < 3; ++k) acc[k] += row[j] * world[k];
          sum += row[j];
        }
        if (sum != 0 && std::isfinite(sum)) {
          double world[3] = {acc[0] / sum, acc[1] / sum, acc[2] / sum}, local[3];
          Apply(meshWorldInv, world, local);
          pos = Point3(float(local[0]), float(local[1]), float(local[2]));
          mirrored = BlendMirrors(offsets, boneWorld, meshWorldInv, row);
        }
        b.mirrored.push_back(mirrored);
        mesh.verts.push_back(pos);
      }
      hostOfMesh = hostOf.data();
      if (lastRead[mi]) Drop(m->mVertices);
    }

    // Faces, in parts at once: each part counts its triangles first, then
    // fills its own stretch of the arrays.
    const uint16_t matId = static_cast<uint16_t>(
        std::find(plan.usedMats.begin(), plan.usedMats.end(), m->mMaterialIndex) - plan.usedMats.begin());
    const size_t nf = m->mNumFaces;
    const int parts = parallel::Parts(nf, opt_.threads);
    std::vector<size_t> at(static_cast<size_t>(parts) + 1, 0);
    parallel::ForParts(nf, parts, [&](int k, size_t from, size_t to) {
      size_t count = 0;
      for (size_t f = from; f < to; ++f) count += m->mFaces[f].mNumIndices == 3;
      at[static_cast<size_t>(k) + 1] = count;
    });
    for (int k = 0; k < parts; ++k) at[size_t(k) + 1] += at[size_t(k)];
    const size_t base = mesh.faces.size();
    dropped += static_cast<int>(nf - at.back());
    mesh.faces.resize(base + at.back());
    if (plan.anyUV) mesh.tvFace.resize(base + at.back());
    if (plan.allNormals) b.cornerNormals.resize(base + at.back());
    parallel::ForParts(nf, parts, [&](int k, size_t from, size_t to) {
      size_t out = base + at[static_cast<size_t>(k)];
      for (size_t f = from; f < to; ++f) {
        const aiFace& af = m->mFaces[f];
        if (af.mNumIndices != 3) continue;
        Face face;
        TVFace tf;
        std::array<Point3, 3> n;
        for (int c = 0; c < 3; ++c) {
          const unsigned v = af.mIndices[c];
          if (v >= nv) assimp::Fail(path_, "mesh '" + assimp::Str(m->mName) + "': vertex index out of range");
          face.v[c] = hostOfMesh[v];
          if (plan.anyUV) tf.t[c] = tvOfMesh[v];
          if (plan.allNormals) n[c] = Point3(m->mNormals[v].x, m->mNormals[v].y, m->mNormals[v].z);
        }
        // The plug-in turns faces round where the node mirrors; where the
        // baked pose mirrors them already, they are handed over turned round.
        const int turned = b.mirrored[static_cast<size_t>(face.v[0])] +
                           b.mirrored[static_cast<size_t>(face.v[1])] +
                           b.mirrored[static_cast<size_t>(face.v[2])];
        if (turned >= 2) {
          std::swap(face.v[1], face.v[2]);
          std::swap(tf.t[1], tf.t[2]);
          std::swap(n[1], n[2]);
        }
        face.setMatID(plan.usedMats.size() > 1 ? matId : 0);
        mesh.faces[out] = face;
        if (plan.anyUV) mesh.tvFace[out] = tf;
        if (plan.allNormals) b.cornerNormals[out] = n;
        ++out;
      }
    });
  }
  // A mesh no other node reads is done with: its arrays go before the
  // smoothing groups are built, which is when an import holds the most.
  for (unsigned i = 0; i < an->mNumMeshes; ++i) {
    const unsigned index = an->mMeshes[i];
    if (index < meshUses_.size() && --meshUses_[index] == 0) ReleaseGeometry(*ai_.mMeshes[index]);
  }
  // The welds are done: what only they needed goes before the smoothing.
  Release(b.source, b.mirrored);
  b.positions = IdIndex(0);
  if (dropped)
    Warn("node '" + nodeName + "': " + std::to_string(dropped) + " faces that are not triangles dropped");
  std::vector<std::array<Point3, 3>>& cornerNormals = b.cornerNormals;

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
  parallel::ForParts(out.size(), parallel::Parts(out.size(), opt_.threads), [&](int, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) out[i] = (meshWorld * mesh.verts[i]) * scale;
  });
  int clusters = 0;
  std::vector<int> cluster = smoothing::ClusterPositions(out, 2e-5, &clusters, opt_.threads);
  std::vector<smoothing::Tri> tris;
  tris.reserve(mesh.faces.size());
  for (const Face& f : mesh.faces) tris.push_back({cluster[f.v[0]], cluster[f.v[1]], cluster[f.v[2]]});
  smoothing::Result sm;
  if (plan.allNormals) {
    Release(out, cluster);
    sm = smoothing::FromNormals(tris, std::move(cornerNormals), clusters, opt_.threads);
  } else {
    std::vector<Point3> at(clusters);
    for (size_t i = 0; i < out.size(); ++i) at[cluster[i]] = out[i];
    Release(out, cluster);
    sm = smoothing::FromAngle(tris, at, opt_.smoothAngleDeg, opt_.threads);
  }
  for (size_t f = 0; f < mesh.faces.size(); ++f) mesh.faces[f].smGroup = sm.words[f];
  if (sm.crowded)
    Warn("node '" + nodeName + "': " + std::to_string(sm.keptHard) +
         " corners stay hard against smooth neighbours: too many faces meet at one position to weigh the "
         "joins "
         "for smoothing groups");
  if (sm.floor || sm.lackOfBits)
    Warn("node '" + nodeName + "': " + std::to_string(sm.floor) + " joins cannot be smoothing groups; " +
         std::to_string(sm.lackOfBits) + " more stay hard for lack of bits");
  if (!plan.allNormals && sm.flattened)
    Warn("node '" + nodeName + "': " + std::to_string(sm.flattened) +
         " smooth patches found no free smoothing group and are exported flat");

  node.SetObject(&obj);
  node.material = NodeMaterial(plan.usedMats);
  if (skinned) {
    auto& skin = s_->Make<SkinModifier>();
    for (const std::string& bn : plan.boneNames) skin.bones.push_back({ByName(bn), std::nullopt, {0, 0, 0}});
    skin.weights = SkinModifier::WeightTable{mesh.verts.size(), nb, std::move(b.rows)};
    node.AddModifier(&skin);
  }
}

}  // namespace scene
