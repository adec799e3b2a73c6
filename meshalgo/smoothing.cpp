#include "meshalgo/smoothing.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <tuple>

#include "meshalgo/colouring.h"

namespace scene::smoothing {

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
// patch that meets it at a position, greedily over bits 0-30 (most neighbours
// first). Bit 31 is the plug-in's back-side bit and stays clear. With
// `stronger`, DSatur follows where the greedy order runs out of bits.
void Colour(const std::vector<Tri>& faces, const std::vector<int>& patchOf, int positionCount, Result& r,
            bool stronger) {
  const size_t nf = faces.size();
  std::vector<int> size(nf, 0);
  for (size_t f = 0; f < nf; ++f)
    if (patchOf[f] >= 0) ++size[patchOf[f]];
  // Patches numbered in order of their first face.
  std::vector<int> id(nf, -1);
  int patches = 0;
  for (size_t p = 0; p < nf; ++p)
    if (size[p] >= 2) id[p] = patches++;
  r.patches = patches;
  std::vector<std::vector<int>> at(positionCount);
  for (size_t f = 0; f < nf; ++f)
    if (patchOf[f] >= 0 && id[patchOf[f]] >= 0)
      for (int c : faces[f]) at[c].push_back(id[patchOf[f]]);
  std::vector<std::vector<int>> adj(static_cast<size_t>(patches));
  for (auto& list : at) {
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    for (size_t i = 0; i < list.size(); ++i)
      for (size_t j = i + 1; j < list.size(); ++j) {
        adj[list[i]].push_back(list[j]);
        adj[list[j]].push_back(list[i]);
      }
  }
  for (auto& a : adj) {
    std::sort(a.begin(), a.end());
    a.erase(std::unique(a.begin(), a.end()), a.end());
  }
  const std::vector<int> colour =
      stronger ? colouring::Colour(adj, 31, &r.flattened) : colouring::Greedy(adj, 31, &r.flattened);
  r.words.assign(nf, 0);
  for (size_t f = 0; f < nf; ++f)
    if (patchOf[f] >= 0 && id[patchOf[f]] >= 0 && colour[id[patchOf[f]]] >= 0)
      r.words[f] = 1u << colour[id[patchOf[f]]];
}

}  // namespace

namespace {

// Counting sort into compressed rows: for each of `rows` rows, the items
// given to it in the order given.
struct Rows {
  std::vector<int> start;  // rows + 1
  std::vector<int> items;
  int Begin(int r) const { return start[static_cast<size_t>(r)]; }
  int End(int r) const { return start[static_cast<size_t>(r) + 1]; }
};

// How faces f and g meet: bit 0 when some shared position holds both corners
// in one class (a join), bit 1 when some holds them in two.
int How(const std::vector<Tri>& faces, const std::vector<int>& cls, int f, int g) {
  int how = 0;
  for (int k = 0; k < 3; ++k)
    for (int j = 0; j < 3; ++j)
      if (faces[static_cast<size_t>(f)][k] == faces[static_cast<size_t>(g)][j])
        how |= cls[static_cast<size_t>(f) * 3 + k] == cls[static_cast<size_t>(g) * 3 + j] ? 1 : 2;
  return how;
}

// Pairs of faces in one class at a position that the groups may weigh: about
// nine per face on a mesh of the usual kind.
constexpr long kPairBudgetPerFace = 16;
constexpr long kPairBudget = 1 << 20;

// Bits 24-30: those that do not reach the bucket of the plug-in's corner lookup.
constexpr uint32_t kGroupBits = 0x7f000000u;

uint64_t PairKey(int f, int g) {
  return (uint64_t(std::min(f, g)) << 32) | uint32_t(std::max(f, g));
}

// Joins whose words share no bit: face pairs f < g that meet in one class at
// some position, each once, in order.
std::vector<uint64_t> LostJoins(const Rows& at, const std::vector<int>& cls,
                                const std::vector<uint32_t>& words, int positionCount) {
  std::vector<uint64_t> lost;
  std::vector<std::tuple<int, uint32_t, int>> here;  // (class, word, face)
  for (int p = 0; p < positionCount; ++p) {
    here.clear();
    for (int e = at.Begin(p); e < at.End(p); ++e) {
      const int c = at.items[static_cast<size_t>(e)];
      here.emplace_back(cls[static_cast<size_t>(c)], words[static_cast<size_t>(c / 3)], c / 3);
    }
    std::sort(here.begin(), here.end());
    for (size_t i = 0; i < here.size(); ++i)
      for (size_t j = i + 1; j < here.size() && std::get<0>(here[j]) == std::get<0>(here[i]); ++j) {
        const uint32_t a = std::get<1>(here[i]), b = std::get<1>(here[j]);
        if (a == b && a != 0) continue;  // one word: they share it
        if ((a & b) == 0) lost.push_back(PairKey(std::get<2>(here[i]), std::get<2>(here[j])));
      }
  }
  std::sort(lost.begin(), lost.end());
  lost.erase(std::unique(lost.begin(), lost.end()), lost.end());
  return lost;
}

void CountLost(const std::vector<Tri>& faces, const Rows& at, const std::vector<int>& cls, int positionCount,
               Result& r) {
  r.floor = r.lackOfBits = 0;
  for (uint64_t key : LostJoins(at, cls, r.words, positionCount)) {
    if (How(faces, cls, int(key >> 32), int(key & 0xffffffffu)) == 3)
      ++r.floor;
    else
      ++r.lackOfBits;
  }
}

// Where one bit per patch leaves joins hard that words could make smooth (the
// patches could not take in a face without holding two classes at one
// position, or ran out of bits): groups beyond the patches, each a set of
// faces any two of which meet only in one class, one per position and class
// whose joins are still hard, and one per pair where that is not enough. Then
// patches and groups are coloured together, a bit each, groups whose faces
// meet in two classes at a position taking different bits.
void Refine(const std::vector<Tri>& faces, const Rows& at, const std::vector<int>& cls,
            const std::vector<int>& patchOf, int positionCount, Result& r) {
  const size_t nf = faces.size();
  // Joins between patches (or inside one that found no bit), with the first
  // position and class where the two faces meet in one class.
  struct Open {
    int pos, cls, f, g;
    auto operator<=>(const Open&) const = default;
  };
  std::vector<Open> open;
  long floor = 0;
  for (uint64_t key : LostJoins(at, cls, r.words, positionCount)) {
    const int f = int(key >> 32), g = int(key & 0xffffffffu);
    if (How(faces, cls, f, g) == 3) {
      ++floor;
      continue;
    }
    bool found = false;
    for (int k = 0; k < 3 && !found; ++k)
      for (int j = 0; j < 3 && !found; ++j)
        if (faces[size_t(f)][k] == faces[size_t(g)][j] && cls[size_t(f) * 3 + k] == cls[size_t(g) * 3 + j]) {
          open.push_back({faces[size_t(f)][k], cls[size_t(f) * 3 + k], f, g});
          found = true;
        }
  }
  if (open.empty()) {  // only the floor is lost: the patches' bits stay
    r.floor = floor;
    r.lackOfBits = 0;
    return;
  }
  std::sort(open.begin(), open.end());

  // Sets: patches of two or more faces in order of their first face, then groups.
  std::vector<int> size(nf, 0);
  for (size_t f = 0; f < nf; ++f)
    if (patchOf[f] >= 0) ++size[static_cast<size_t>(patchOf[f])];
  std::vector<std::vector<int>> setsOf(nf);
  int sets = 0;
  {
    std::vector<int> id(nf, -1);
    for (size_t p = 0; p < nf; ++p)
      if (size[p] >= 2) id[p] = sets++;
    for (size_t f = 0; f < nf; ++f)
      if (patchOf[f] >= 0 && size[static_cast<size_t>(patchOf[f])] >= 2)
        setsOf[f].push_back(id[static_cast<size_t>(patchOf[f])]);
  }
  const int firstGroup = sets;
  auto together = [&](int f, int g) {
    for (int a : setsOf[size_t(f)])
      for (int b : setsOf[size_t(g)])
        if (a == b) return true;
    return false;
  };
  std::vector<int> members, candidates;
  for (size_t s = 0; s < open.size();) {
    size_t e = s;
    while (e < open.size() && open[e].pos == open[s].pos && open[e].cls == open[s].cls) ++e;
    candidates.clear();
    for (size_t i = s; i < e; ++i)
      if (!together(open[i].f, open[i].g)) {
        candidates.push_back(open[i].f);
        candidates.push_back(open[i].g);
      }
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    members.clear();
    for (int x : candidates) {
      bool fits = true;
      for (size_t m = 0; m < members.size() && fits; ++m) fits = How(faces, cls, x, members[m]) != 3;
      if (fits) members.push_back(x);
    }
    if (members.size() >= 2) {
      for (int x : members) setsOf[size_t(x)].push_back(sets);
      ++sets;
      ++r.bridges;
    }
    for (size_t i = s; i < e; ++i)
      if (!together(open[i].f, open[i].g)) {
        setsOf[size_t(open[i].f)].push_back(sets);
        setsOf[size_t(open[i].g)].push_back(sets);
        ++sets;
        ++r.bridges;
      }
    s = e;
  }

  // Sets whose faces meet at a position in two classes must differ.
  std::vector<std::vector<int>> adj(static_cast<size_t>(sets));
  std::vector<std::pair<int, int>> here;  // (class, set)
  for (int p = 0; p < positionCount; ++p) {
    here.clear();
    for (int e = at.Begin(p); e < at.End(p); ++e) {
      const int c = at.items[static_cast<size_t>(e)];
      for (int set : setsOf[static_cast<size_t>(c / 3)]) here.emplace_back(cls[static_cast<size_t>(c)], set);
    }
    std::sort(here.begin(), here.end());
    here.erase(std::unique(here.begin(), here.end()), here.end());
    for (size_t i = 0; i < here.size(); ++i)
      for (size_t j = i + 1; j < here.size(); ++j)
        if (here[i].first != here[j].first && here[i].second != here[j].second) {
          adj[static_cast<size_t>(here[i].second)].push_back(here[j].second);
          adj[static_cast<size_t>(here[j].second)].push_back(here[i].second);
        }
  }
  for (auto& a : adj) {
    std::sort(a.begin(), a.end());
    a.erase(std::unique(a.begin(), a.end()), a.end());
  }
  // The plug-in's corner lookup is hashed over the word, and bits 24-30 do
  // not reach its buckets: a face whose word adds only such bits to its
  // patch's still shares the patch's vertices. So groups take those bits first.
  std::vector<uint32_t> preferred(static_cast<size_t>(sets), 0);
  for (int set = firstGroup; set < sets; ++set) preferred[static_cast<size_t>(set)] = kGroupBits;
  int left = 0;
  const std::vector<int> colour = colouring::Colour(adj, 31, &left, &preferred);
  r.flattened = left;
  r.words.assign(nf, 0);
  for (size_t f = 0; f < nf; ++f)
    for (int set : setsOf[f])
      if (colour[static_cast<size_t>(set)] >= 0) r.words[f] |= 1u << colour[static_cast<size_t>(set)];
  CountLost(faces, at, cls, positionCount, r);
}

}  // namespace

Result FromNormals(const std::vector<Tri>& faces, const std::vector<std::array<Point3, 3>>& normals,
                   int positionCount) {
  const size_t nf = faces.size();
  const double cosEqual = std::cos(kEqualNormalDeg * 3.14159265358979323846 / 180.0);

  // The corners at each position, face by face: f * 3 + k.
  Rows at;
  at.start.assign(static_cast<size_t>(positionCount) + 1, 0);
  for (size_t f = 0; f < nf; ++f)
    if (!Degenerate(faces[f]))
      for (int k = 0; k < 3; ++k) ++at.start[static_cast<size_t>(faces[f][k]) + 1];
  for (int p = 0; p < positionCount; ++p) at.start[p + 1] += at.start[p];
  at.items.resize(static_cast<size_t>(at.start.back()));
  {
    std::vector<int> fill(at.start.begin(), at.start.end() - 1);
    for (size_t f = 0; f < nf; ++f)
      if (!Degenerate(faces[f]))
        for (int k = 0; k < 3; ++k)
          at.items[static_cast<size_t>(fill[faces[f][k]]++)] = static_cast<int>(f * 3 + k);
  }

  // Class of each corner: corners at one position with equal normals share a
  // class, numbered in order of position, then corner.
  std::vector<int> cls(nf * 3, -1);
  std::vector<int> classFaces;  // the face of each corner given a class, by class below
  int classes = 0;
  std::vector<std::pair<std::array<double, 3>, int>> reps;
  std::vector<int> memberCount;
  for (int p = 0; p < positionCount; ++p) {
    reps.clear();
    for (int e = at.Begin(p); e < at.End(p); ++e) {
      const int c = at.items[static_cast<size_t>(e)];
      double n[3];
      int id = -1;
      if (Unit(normals[static_cast<size_t>(c / 3)][static_cast<size_t>(c % 3)], n)) {
        for (auto& [rn, rid] : reps)
          if (rn[0] * n[0] + rn[1] * n[1] + rn[2] * n[2] >= cosEqual) {
            id = rid;
            break;
          }
        if (id < 0) {
          id = classes++;
          reps.push_back({{n[0], n[1], n[2]}, id});
        }
      } else {  // no usable normal: a class of its own, never smooth
        id = classes++;
      }
      cls[static_cast<size_t>(c)] = id;
    }
  }
  // The faces of each class, in the order the classes were given (position, corner).
  Rows members;
  members.start.assign(static_cast<size_t>(classes) + 1, 0);
  for (int c : at.items) ++members.start[static_cast<size_t>(cls[static_cast<size_t>(c)]) + 1];
  for (int k = 0; k < classes; ++k) members.start[k + 1] += members.start[k];
  members.items.resize(at.items.size());
  {
    std::vector<int> fill(members.start.begin(), members.start.end() - 1);
    for (int c : at.items) members.items[static_cast<size_t>(fill[cls[static_cast<size_t>(c)]]++)] = c / 3;
  }

  // Patches: faces joined through shared classes, unless the join would put
  // two different classes of one position into one patch. A patch's class at
  // a position is the class of any of its corners there, found among the few
  // corners of that position; each patch lists its positions once (the
  // smaller patch moves into the larger, by positions).
  UnionFind uf(nf);
  struct Entry {
    int pos, cls, next;
  };
  std::vector<Entry> entries;
  entries.reserve(nf * 3);
  std::vector<int> head(nf, -1), size(nf, 0);
  for (size_t f = 0; f < nf; ++f) {
    if (Degenerate(faces[f])) continue;
    for (int k = 0; k < 3; ++k) {
      entries.push_back({faces[f][k], cls[f * 3 + k], head[f]});
      head[f] = static_cast<int>(entries.size()) - 1;
    }
    size[f] = 3;
  }
  // The class of patch `root` at `pos`, or -1.
  auto classAt = [&](int root, int pos) {
    for (int e = at.Begin(pos); e < at.End(pos); ++e) {
      const int c = at.items[static_cast<size_t>(e)];
      if (uf.Find(c / 3) == root) return cls[static_cast<size_t>(c)];
    }
    return -1;
  };
  auto merge = [&](int a, int b) {
    a = uf.Find(a);
    b = uf.Find(b);
    if (a == b) return true;
    if (size[a] < size[b]) std::swap(a, b);
    for (int e = head[b], prev = -1; e >= 0; prev = e, e = entries[static_cast<size_t>(e)].next) {
      const int c = classAt(a, entries[static_cast<size_t>(e)].pos);
      if (c >= 0 && c != entries[static_cast<size_t>(e)].cls) {
        // The same two patches tend to be tried again: their conflict goes first.
        if (prev >= 0) {
          entries[static_cast<size_t>(prev)].next = entries[static_cast<size_t>(e)].next;
          entries[static_cast<size_t>(e)].next = head[b];
          head[b] = e;
        }
        return false;
      }
    }
    for (int e = head[b]; e >= 0;) {
      Entry& x = entries[static_cast<size_t>(e)];
      const int next = x.next;
      if (classAt(a, x.pos) < 0) {
        x.next = head[a];
        head[a] = e;
        ++size[a];
      }
      e = next;
    }
    head[b] = -1;
    size[b] = 0;
    uf.parent[static_cast<size_t>(b)] = a;
    return true;
  };
  Result r;
  for (int k = 0; k < classes; ++k) {
    const int* list = members.items.data() + members.Begin(k);
    const int count = members.End(k) - members.Begin(k);
    for (int i = 1; i < count; ++i) {
      bool joined = false;
      for (int j = 0; j < i && !joined; ++j) joined = merge(list[j], list[i]);
      if (!joined) ++r.keptHard;
    }
  }
  std::vector<int> patchOf(nf, -1);
  for (size_t f = 0; f < nf; ++f)
    if (!Degenerate(faces[f])) patchOf[f] = uf.Find(static_cast<int>(f));
  Colour(faces, patchOf, positionCount, r, false);
  // Where every class went into one patch and every patch found a bit, no join
  // is lost. Otherwise the joins are weighed pair by pair within each class,
  // unless so many faces meet in one class that the pairs pass a budget: then
  // the patches' bits stay.
  if (r.keptHard || r.flattened) {
    long pairs = 0;
    for (int k = 0; k < classes; ++k) {
      const long n = members.End(k) - members.Begin(k);
      pairs += n * (n - 1) / 2;
    }
    if (pairs <= kPairBudgetPerFace * long(nf) + kPairBudget)
      Refine(faces, at, cls, patchOf, positionCount, r);
    else
      r.crowded = true;
  }
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
  // The faces at each edge: (edge, face) pairs sorted by edge, faces ascending.
  std::vector<std::pair<uint64_t, int>> edges;
  edges.reserve(nf * 3);
  for (size_t f = 0; f < nf; ++f) {
    if (Degenerate(faces[f])) continue;
    for (int k = 0; k < 3; ++k) {
      uint32_t a = static_cast<uint32_t>(faces[f][k]), b = static_cast<uint32_t>(faces[f][(k + 1) % 3]);
      if (a > b) std::swap(a, b);
      edges.push_back({(uint64_t(a) << 32) | b, static_cast<int>(f)});
    }
  }
  std::sort(edges.begin(), edges.end());
  // A patch's root is its lowest face whatever the order of the joins.
  UnionFind uf(nf);
  for (size_t s = 0; s < edges.size();) {
    size_t e = s;
    while (e < edges.size() && edges[e].first == edges[s].first) ++e;
    for (size_t i = s; i < e; ++i)
      for (size_t j = i + 1; j < e; ++j) {
        const int f = edges[i].second, g = edges[j].second;
        if (!valid[f] || !valid[g]) continue;
        const double d = fn[f][0] * fn[g][0] + fn[f][1] * fn[g][1] + fn[f][2] * fn[g][2];
        if (d >= cosMax) {
          const int a = uf.Find(f), b = uf.Find(g);
          if (a != b) uf.parent[std::max(a, b)] = std::min(a, b);
        }
      }
    s = e;
  }
  std::vector<int> patchOf(nf, -1);
  for (size_t f = 0; f < nf; ++f)
    if (!Degenerate(faces[f])) patchOf[f] = uf.Find(static_cast<int>(f));
  Result r;
  Colour(faces, patchOf, static_cast<int>(positions.size()), r, true);
  return r;
}

std::vector<int> ClusterPositions(const std::vector<Point3>& points, double tol, int* clusterCount) {
  const size_t n = points.size();
  UnionFind uf(n);
  auto join = [&](int a, int b) {
    a = uf.Find(a);
    b = uf.Find(b);
    if (a != b) uf.parent[std::max(a, b)] = std::min(a, b);
  };
  // Points join when within tol of each other in cells (floor of coordinate /
  // tol) at most one apart per axis. Far out, where floats lie further apart
  // than tol (beyond 2^62 cells), only equal points can join: they are kept
  // apart and joined by equality.
  struct Cell {
    int64_t x, y, z;
    auto operator<=>(const Cell&) const = default;
  };
  constexpr double kFar = 0x1p62;
  std::vector<std::pair<Cell, int>> near;  // (cell, point)
  std::vector<std::pair<std::array<float, 3>, int>> far;
  near.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const Point3& p = points[i];
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
    const double cx = std::floor(p.x / tol), cy = std::floor(p.y / tol), cz = std::floor(p.z / tol);
    if (std::fabs(cx) >= kFar || std::fabs(cy) >= kFar || std::fabs(cz) >= kFar) {
      // -0.0 and +0.0 are one value.
      far.push_back({{p.x + 0.0f, p.y + 0.0f, p.z + 0.0f}, static_cast<int>(i)});
      continue;
    }
    near.push_back({{static_cast<int64_t>(cx), static_cast<int64_t>(cy), static_cast<int64_t>(cz)},
                    static_cast<int>(i)});
  }
  std::sort(far.begin(), far.end());
  for (size_t k = 1; k < far.size(); ++k)
    if (far[k].first == far[k - 1].first) join(far[k].second, far[k - 1].second);

  // Cells in order, each a run of points. For each of the nine (dx, dy) the
  // cells (x + dx, y + dy, z - 1 .. z + 1) are a stretch of the order that
  // only moves forward as the cells do: one cursor each, no lookups.
  std::sort(near.begin(), near.end());
  std::vector<size_t> runStart;
  for (size_t k = 0; k < near.size(); ++k)
    if (k == 0 || near[k].first != near[k - 1].first) runStart.push_back(k);
  const size_t runs = runStart.size();
  runStart.push_back(near.size());
  auto cellOf = [&](size_t run) { return near[runStart[run]].first; };
  const double tol2 = tol * tol;
  size_t cursor[9] = {};
  for (size_t run = 0; run < runs; ++run) {
    const Cell c = cellOf(run);
    for (int o = 0; o < 9; ++o) {
      const Cell lo{c.x + o / 3 - 1, c.y + o % 3 - 1, c.z - 1}, hi{lo.x, lo.y, c.z + 1};
      size_t& k = cursor[o];
      while (k < runs && cellOf(k) < lo) ++k;
      // Each pair of cells once: from the later one.
      for (size_t other = k; other < runs && other <= run && cellOf(other) <= hi; ++other) {
        for (size_t a = runStart[run]; a < runStart[run + 1]; ++a)
          for (size_t b = runStart[other]; b < runStart[other + 1]; ++b) {
            if (other == run && b >= a) break;
            const Point3& p = points[static_cast<size_t>(near[a].second)];
            const Point3& q = points[static_cast<size_t>(near[b].second)];
            const double ex = double(q.x) - p.x, ey = double(q.y) - p.y, ez = double(q.z) - p.z;
            if (ex * ex + ey * ey + ez * ez <= tol2) join(near[a].second, near[b].second);
          }
      }
    }
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

}  // namespace scene::smoothing
