#include "tools/smoothmeasure/smooth_quality.h"

#include <assimp/scene.h>

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "import/assimp_load.h"

namespace smooth_quality {

namespace {

using scene::smoothing::Tri;

bool Unit(double v[3]) {
  const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  if (!std::isfinite(len) || len < 1e-20) return false;
  for (int i = 0; i < 3; ++i) v[i] /= len;
  return true;
}

double Dot(const double a[3], const double b[3]) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

}  // namespace

void Figures::Add(const Figures& o) {
  corners += o.corners;
  nearBest += o.nearBest;
  nearSource += o.nearSource;
  bestNearSource += o.bestNearSource;
  joins += o.joins;
  floor += o.floor;
  hardByWords += o.hardByWords;
  wrongSoft += o.wrongSoft;
}

Figures Measure(const std::vector<Tri>& faces, const std::vector<Point3>& positions,
                const std::vector<std::array<Point3, 3>>& normals, const std::vector<uint32_t>& words) {
  const size_t nf = faces.size();
  const double cosEqual = std::cos(scene::smoothing::kEqualNormalDeg * M_PI / 180.0);
  const double cosNear = std::cos(1.0 * M_PI / 180.0);
  std::vector<std::array<double, 3>> fn(nf);
  std::vector<bool> fnOk(nf, false);
  std::vector<std::vector<std::pair<int, int>>> at(positions.size());  // (face, corner)
  for (size_t f = 0; f < nf; ++f) {
    const Tri& t = faces[f];
    if (t[0] == t[1] || t[1] == t[2] || t[0] == t[2]) continue;
    const Point3 &a = positions[t[0]], &b = positions[t[1]], &c = positions[t[2]];
    const double u[3] = {double(b.x) - a.x, double(b.y) - a.y, double(b.z) - a.z};
    const double v[3] = {double(c.x) - a.x, double(c.y) - a.y, double(c.z) - a.z};
    double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    fnOk[f] = Unit(n);
    fn[f] = {n[0], n[1], n[2]};
    for (int k = 0; k < 3; ++k) at[static_cast<size_t>(t[k])].push_back({int(f), k});
  }
  Figures r;
  // Per face pair: bit 0 smooth at some shared position, bit 1 hard at some.
  std::unordered_map<uint64_t, uint8_t> pairs;
  std::vector<int> cls;
  std::vector<std::array<double, 3>> reps;
  for (auto& list : at) {
    // Classes of the source normals here, as the reconstruction forms them:
    // normals equal directly or through a chain of equal ones.
    const size_t count = list.size();
    cls.assign(count, -1);
    reps.assign(count, {0, 0, 0});
    std::vector<bool> ok(count);
    for (size_t i = 0; i < count; ++i) {
      const Point3& p = normals[static_cast<size_t>(list[i].first)][static_cast<size_t>(list[i].second)];
      reps[i] = {p.x, p.y, p.z};
      ok[i] = Unit(reps[i].data());
      cls[i] = ok[i] ? int(i) : -2 - int(i);  // without a usable normal: a class of its own
    }
    auto root = [&](int a) {
      while (cls[size_t(a)] != a) a = cls[size_t(a)];
      return a;
    };
    for (size_t i = 0; i < count; ++i)
      for (size_t j = i + 1; j < count; ++j)
        if (ok[i] && ok[j] && Dot(reps[i].data(), reps[j].data()) >= cosEqual) {
          const int a = root(int(i)), b = root(int(j));
          if (a != b) cls[size_t(std::max(a, b))] = std::min(a, b);
        }
    for (size_t i = 0; i < count; ++i)
      if (ok[i]) cls[i] = root(int(i));
    for (size_t i = 0; i < list.size(); ++i)
      for (size_t j = i + 1; j < list.size(); ++j) {
        const uint64_t a = uint64_t(std::min(list[i].first, list[j].first)),
                       b = uint64_t(std::max(list[i].first, list[j].first));
        pairs[(a << 32) | b] |= cls[i] == cls[j] ? 1 : 2;
      }
    // Each corner: the plug-in's normal from the words, and the best one.
    for (size_t i = 0; i < list.size(); ++i) {
      const auto [f, k] = list[i];
      const Point3& p = normals[size_t(f)][size_t(k)];
      double src[3] = {p.x, p.y, p.z};
      if (!Unit(src) || !fnOk[size_t(f)]) continue;
      double out[3] = {0, 0, 0}, best[3] = {0, 0, 0};
      for (size_t j = 0; j < list.size(); ++j) {
        const int g = list[j].first;
        if (!fnOk[size_t(g)]) continue;
        if (g == f || (words[size_t(f)] & words[size_t(g)]) != 0)
          for (int c = 0; c < 3; ++c) out[c] += fn[size_t(g)][c];
        if (cls[j] == cls[i])
          for (int c = 0; c < 3; ++c) best[c] += fn[size_t(g)][c];
      }
      if (!Unit(out) || !Unit(best)) continue;
      ++r.corners;
      r.nearBest += Dot(out, best) >= cosNear;
      r.nearSource += Dot(out, src) >= cosNear;
      r.bestNearSource += Dot(best, src) >= cosNear;
    }
  }
  for (const auto& [key, how] : pairs) {
    const bool share = (words[key >> 32] & words[key & 0xffffffffu]) != 0;
    if (how & 1) {
      ++r.joins;
      if (how & 2)
        ++r.floor;
      else if (!share)
        ++r.hardByWords;
    } else if (share) {
      ++r.wrongSoft;
    }
  }
  return r;
}

Figures MeasureModel(const std::string& path, int* nodes) {
  scene::assimp::Loaded l = scene::assimp::Load(path, {});
  const aiScene& s = *l.scene;
  Figures total;
  int count = 0;
  std::vector<const aiNode*> stack{s.mRootNode};
  while (!stack.empty()) {
    const aiNode* n = stack.back();
    stack.pop_back();
    for (unsigned i = n->mNumChildren; i-- > 0;) stack.push_back(n->mChildren[i]);
    bool all = n->mNumMeshes > 0;
    for (unsigned i = 0; i < n->mNumMeshes; ++i) all = all && s.mMeshes[n->mMeshes[i]]->HasNormals();
    if (!all) continue;
    std::vector<Point3> points;
    std::vector<int> first;
    for (unsigned i = 0; i < n->mNumMeshes; ++i) {
      const aiMesh& m = *s.mMeshes[n->mMeshes[i]];
      first.push_back(int(points.size()));
      for (unsigned v = 0; v < m.mNumVertices; ++v)
        points.push_back(Point3(m.mVertices[v].x, m.mVertices[v].y, m.mVertices[v].z));
    }
    int clusters = 0;
    const std::vector<int> cluster = scene::smoothing::ClusterPositions(points, 2e-5, &clusters);
    std::vector<Point3> at(size_t(clusters), Point3(0, 0, 0));
    for (size_t i = 0; i < points.size(); ++i) at[size_t(cluster[i])] = points[i];
    std::vector<Tri> faces;
    std::vector<std::array<Point3, 3>> normals;
    for (unsigned i = 0; i < n->mNumMeshes; ++i) {
      const aiMesh& m = *s.mMeshes[n->mMeshes[i]];
      for (unsigned f = 0; f < m.mNumFaces; ++f) {
        const aiFace& af = m.mFaces[f];
        if (af.mNumIndices != 3) continue;
        Tri t;
        std::array<Point3, 3> nn;
        for (int k = 0; k < 3; ++k) {
          const unsigned v = af.mIndices[k];
          t[size_t(k)] = cluster[size_t(first[i]) + v];
          nn[size_t(k)] = Point3(m.mNormals[v].x, m.mNormals[v].y, m.mNormals[v].z);
        }
        faces.push_back(t);
        normals.push_back(nn);
      }
    }
    if (faces.empty()) continue;
    const auto words = scene::smoothing::FromNormals(faces, normals, clusters).words;
    total.Add(Measure(faces, at, normals, words));
    ++count;
  }
  if (nodes) *nodes = count;
  return total;
}

}  // namespace smooth_quality
