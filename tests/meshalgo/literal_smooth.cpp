// The smoothing reconstruction as it was first written, with a map per face and
// a vector per position: slow, and the reference the flat version is held to.
#include "tests/meshalgo/literal_smooth.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <unordered_map>

namespace literal_smoothing {

using scene::smoothing::kEqualNormalDeg;
using scene::smoothing::Result;
using scene::smoothing::Tri;

namespace {

struct UnionFind {
  std::vector<int> parent;
  explicit UnionFind(size_t n) : parent(n) { std::iota(parent.begin(), parent.end(), 0); }
  int Find(int a) {
    while (parent[a] != a) a = parent[a] = parent[parent[a]];
    return a;
  }
};

bool Degenerate(const Tri& t) {
  return t[0] == t[1] || t[1] == t[2] || t[2] == t[0];
}

// Unit vector in double precision, or false for a zero or non-finite one.
bool Unit(const Point3& p, double out[3]) {
  double x = p.x, y = p.y, z = p.z, len = std::sqrt(x * x + y * y + z * z);
  if (!std::isfinite(len) || len < 1e-20) return false;
  out[0] = x / len;
  out[1] = y / len;
  out[2] = z / len;
  return true;
}

// Gives every patch of two or more faces one bit, different from every other
// patch that meets it at a position, greedily over bits 0-30. Bit 31 is the
// plug-in's back-side bit and stays clear.
void Colour(const std::vector<Tri>& faces, const std::vector<int>& patchOf, int positionCount, Result& r) {
  const size_t nf = faces.size();
  std::vector<int> size(nf, 0);
  for (size_t f = 0; f < nf; ++f)
    if (patchOf[f] >= 0) ++size[patchOf[f]];
  std::vector<std::vector<int>> at(positionCount);
  for (size_t f = 0; f < nf; ++f) {
    int p = patchOf[f];
    if (p < 0 || size[p] < 2) continue;
    for (int c : faces[f]) at[c].push_back(p);
  }
  std::vector<std::vector<int>> adj(nf);
  for (auto& list : at) {
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    for (size_t i = 0; i < list.size(); ++i)
      for (size_t j = i + 1; j < list.size(); ++j) {
        adj[list[i]].push_back(list[j]);
        adj[list[j]].push_back(list[i]);
      }
  }
  std::vector<int> order;
  for (size_t p = 0; p < nf; ++p) {
    if (size[p] < 2) continue;
    auto& a = adj[p];
    std::sort(a.begin(), a.end());
    a.erase(std::unique(a.begin(), a.end()), a.end());
    order.push_back(static_cast<int>(p));
  }
  r.patches = static_cast<int>(order.size());
  // Most constrained first; ties by the patch's first face, so the result is stable.
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return adj[a].size() > adj[b].size(); });
  std::vector<int> colour(nf, -1);
  for (int p : order) {
    uint32_t used = 0;
    for (int q : adj[p])
      if (colour[q] >= 0) used |= 1u << colour[q];
    int c = 0;
    while (c < 31 && (used & (1u << c))) ++c;
    if (c == 31) {
      ++r.flattened;
      continue;
    }
    colour[p] = c;
  }
  r.words.assign(nf, 0);
  for (size_t f = 0; f < nf; ++f)
    if (patchOf[f] >= 0 && colour[patchOf[f]] >= 0) r.words[f] = 1u << colour[patchOf[f]];
}

}  // namespace

Result FromNormals(const std::vector<Tri>& faces, const std::vector<std::array<Point3, 3>>& normals,
                   int positionCount) {
  const size_t nf = faces.size();
  const double cosEqual = std::cos(kEqualNormalDeg * 3.14159265358979323846 / 180.0);

  // Class of each corner: corners at one position with equal normals share a class.
  struct Entry {
    int face, corner;
  };
  std::vector<std::vector<Entry>> at(positionCount);
  for (size_t f = 0; f < nf; ++f) {
    if (Degenerate(faces[f])) continue;
    for (int k = 0; k < 3; ++k) at[faces[f][k]].push_back({static_cast<int>(f), k});
  }
  std::vector<std::array<int, 3>> cls(nf, {-1, -1, -1});
  std::vector<std::vector<int>> members;  // faces per class
  for (auto& list : at) {
    // Corners with equal normals, directly or through others, share a class.
    const size_t k = list.size();
    std::vector<std::array<double, 3>> unit(k);
    std::vector<bool> ok(k);
    for (size_t i = 0; i < k; ++i) ok[i] = Unit(normals[list[i].face][list[i].corner], unit[i].data());
    UnionFind local(k);
    for (size_t i = 0; i < k; ++i)
      for (size_t j = i + 1; j < k; ++j)
        if (ok[i] && ok[j] &&
            unit[i][0] * unit[j][0] + unit[i][1] * unit[j][1] + unit[i][2] * unit[j][2] >= cosEqual)
          local.parent[static_cast<size_t>(local.Find(int(j)))] = local.Find(int(i));
    std::unordered_map<int, int> idOf;  // local root -> class
    for (size_t i = 0; i < k; ++i) {
      int id;
      if (!ok[i]) {  // no usable normal: a class of its own, never smooth
        id = static_cast<int>(members.size());
        members.emplace_back();
      } else {
        auto [it, fresh] = idOf.emplace(local.Find(int(i)), static_cast<int>(members.size()));
        if (fresh) members.emplace_back();
        id = it->second;
      }
      cls[list[i].face][list[i].corner] = id;
      members[id].push_back(list[i].face);
    }
  }

  // Patches: faces joined through shared classes, unless the join would put
  // two different classes of one position into one patch.
  UnionFind uf(nf);
  std::vector<std::unordered_map<int, int>> classAt(nf);  // per root: position -> class
  for (size_t f = 0; f < nf; ++f)
    if (!Degenerate(faces[f]))
      for (int k = 0; k < 3; ++k) classAt[f][faces[f][k]] = cls[f][k];
  auto merge = [&](int a, int b) {
    a = uf.Find(a);
    b = uf.Find(b);
    if (a == b) return true;
    if (classAt[a].size() < classAt[b].size()) std::swap(a, b);
    for (auto& [pos, c] : classAt[b]) {
      auto it = classAt[a].find(pos);
      if (it != classAt[a].end() && it->second != c) return false;
    }
    for (auto& [pos, c] : classAt[b]) classAt[a].emplace(pos, c);
    classAt[b].clear();
    uf.parent[b] = a;
    return true;
  };
  Result r;
  for (auto& faceList : members) {
    for (size_t i = 1; i < faceList.size(); ++i) {
      bool joined = false;
      for (size_t j = 0; j < i && !joined; ++j) joined = merge(faceList[j], faceList[i]);
      if (!joined) ++r.keptHard;
    }
  }
  std::vector<int> patchOf(nf, -1);
  for (size_t f = 0; f < nf; ++f)
    if (!Degenerate(faces[f])) patchOf[f] = uf.Find(static_cast<int>(f));
  Colour(faces, patchOf, positionCount, r);
  return r;
}

Result FromAngle(const std::vector<Tri>& faces, const std::vector<Point3>& positions, double maxAngleDeg) {
  const size_t nf = faces.size();
  const double cosMax = std::cos(maxAngleDeg * 3.14159265358979323846 / 180.0) - 1e-12;
  std::vector<std::array<double, 3>> fn(nf);
  std::vector<bool> valid(nf, false);
  for (size_t f = 0; f < nf; ++f) {
    if (Degenerate(faces[f])) continue;
    const Point3 &a = positions[faces[f][0]], &b = positions[faces[f][1]], &c = positions[faces[f][2]];
    double u[3] = {double(b.x) - a.x, double(b.y) - a.y, double(b.z) - a.z};
    double v[3] = {double(c.x) - a.x, double(c.y) - a.y, double(c.z) - a.z};
    double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (!std::isfinite(len) || len < 1e-30) continue;
    fn[f] = {n[0] / len, n[1] / len, n[2] / len};
    valid[f] = true;
  }
  std::unordered_map<uint64_t, std::vector<int>> edges;
  for (size_t f = 0; f < nf; ++f) {
    if (Degenerate(faces[f])) continue;
    for (int k = 0; k < 3; ++k) {
      uint32_t a = static_cast<uint32_t>(faces[f][k]), b = static_cast<uint32_t>(faces[f][(k + 1) % 3]);
      if (a > b) std::swap(a, b);
      edges[(uint64_t(a) << 32) | b].push_back(static_cast<int>(f));
    }
  }
  UnionFind uf(nf);
  for (auto& [key, list] : edges)
    for (size_t i = 0; i < list.size(); ++i)
      for (size_t j = i + 1; j < list.size(); ++j) {
        int f = list[i], g = list[j];
        if (!valid[f] || !valid[g]) continue;
        double d = fn[f][0] * fn[g][0] + fn[f][1] * fn[g][1] + fn[f][2] * fn[g][2];
        if (d >= cosMax) {
          int a = uf.Find(f), b = uf.Find(g);
          if (a != b) uf.parent[std::max(a, b)] = std::min(a, b);
        }
      }
  std::vector<int> patchOf(nf, -1);
  for (size_t f = 0; f < nf; ++f)
    if (!Degenerate(faces[f])) patchOf[f] = uf.Find(static_cast<int>(f));
  Result r;
  Colour(faces, patchOf, static_cast<int>(positions.size()), r);
  return r;
}

std::vector<int> ClusterPositions(const std::vector<Point3>& points, double tol, int* clusterCount) {
  const size_t n = points.size();
  UnionFind uf(n);
  struct CellHash {
    size_t operator()(const std::array<int64_t, 3>& c) const {
      return std::hash<int64_t>()(c[0] * 73856093 ^ c[1] * 19349663 ^ c[2] * 83492791);
    }
  };
  std::unordered_map<std::array<int64_t, 3>, std::vector<int>, CellHash> grid;
  auto cellOf = [&](const Point3& p) {
    return std::array<int64_t, 3>{static_cast<int64_t>(std::floor(p.x / tol)),
                                  static_cast<int64_t>(std::floor(p.y / tol)),
                                  static_cast<int64_t>(std::floor(p.z / tol))};
  };
  for (size_t i = 0; i < n; ++i) {
    const Point3& p = points[i];
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
    auto c = cellOf(p);
    for (int dx = -1; dx <= 1; ++dx)
      for (int dy = -1; dy <= 1; ++dy)
        for (int dz = -1; dz <= 1; ++dz) {
          auto it = grid.find({c[0] + dx, c[1] + dy, c[2] + dz});
          if (it == grid.end()) continue;
          for (int j : it->second) {
            double ex = double(points[j].x) - p.x, ey = double(points[j].y) - p.y,
                   ez = double(points[j].z) - p.z;
            if (ex * ex + ey * ey + ez * ez <= tol * tol) {
              int a = uf.Find(static_cast<int>(i)), b = uf.Find(j);
              if (a != b) uf.parent[std::max(a, b)] = std::min(a, b);
            }
          }
        }
    grid[c].push_back(static_cast<int>(i));
  }
  std::vector<int> id(n, -1), out(n);
  int count = 0;
  for (size_t i = 0; i < n; ++i) {
    int root = uf.Find(static_cast<int>(i));
    if (id[root] < 0) id[root] = count++;
    out[i] = id[root];
  }
  if (clusterCount) *clusterCount = count;
  return out;
}

}  // namespace literal_smoothing
