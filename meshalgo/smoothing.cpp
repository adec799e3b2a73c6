#include "meshalgo/smoothing.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <numeric>
#include <tuple>
#include <unordered_map>

#include "meshalgo/colouring.h"
#include "meshalgo/flat_index.h"
#include "meshalgo/parallel.h"
#include "meshalgo/release.h"

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

// Pairs found position by position on up to `threads` threads: find(from,
// to, out) lists those of positions [from, to), and take(a, b) receives
// them, a batch at a time under a lock, so that the pairs waiting stay few
// beside the lists they go to. The lists are sorted after: the order in which
// the parts hand their batches over does not show.
template <class Find, class Take>
void PairsOverPositions(int positionCount, int threads, Find find, Take take) {
  constexpr size_t kBatch = size_t(1) << 16, kPositions = 16;
  const size_t n = static_cast<size_t>(positionCount);
  std::mutex lock;
  parallel::ForParts(n, parallel::Parts(n, threads), [&](int, size_t from, size_t to) {
    std::vector<std::pair<int, int>> pairs;
    auto hand = [&] {
      const std::lock_guard<std::mutex> hold(lock);
      for (auto [a, b] : pairs) take(a, b);
      pairs.clear();
    };
    for (size_t p = from; p < to; p += kPositions) {
      find(p, std::min(to, p + kPositions), pairs);
      if (pairs.size() >= kBatch) hand();
    }
    hand();
  });
}

// Sorts each list and drops repeats, lists split over threads.
void SortLists(std::vector<std::vector<int>>& lists, int threads) {
  parallel::ForParts(lists.size(), parallel::Parts(lists.size(), threads), [&](int, size_t from, size_t to) {
    for (size_t a = from; a < to; ++a) {
      std::sort(lists[a].begin(), lists[a].end());
      lists[a].erase(std::unique(lists[a].begin(), lists[a].end()), lists[a].end());
    }
  });
}

// Gives every patch of two or more faces one bit, different from every other
// patch that meets it at a position, greedily over bits 0-30 (most neighbours
// first). Bit 31 is the plug-in's back-side bit and stays clear. With
// `stronger`, DSatur follows where the greedy order runs out of bits.
void Colour(const std::vector<Tri>& faces, const std::vector<int>& patchOf, int positionCount, Result& r,
            bool stronger, int threads) {
  const size_t nf = faces.size();
  // Patches of two or more faces numbered in order of their first face: the
  // sizes first, then in the same place the numbers.
  std::vector<int> id(nf, 0);
  for (size_t f = 0; f < nf; ++f)
    if (patchOf[f] >= 0) ++id[static_cast<size_t>(patchOf[f])];
  int patches = 0;
  for (size_t p = 0; p < nf; ++p) id[p] = id[p] >= 2 ? patches++ : -1;
  r.patches = patches;
  // The patches at each position, in compressed rows.
  std::vector<int> start(static_cast<size_t>(positionCount) + 1, 0);
  for (size_t f = 0; f < nf; ++f)
    if (patchOf[f] >= 0 && id[patchOf[f]] >= 0)
      for (int c : faces[f]) ++start[static_cast<size_t>(c) + 1];
  for (int p = 0; p < positionCount; ++p) start[static_cast<size_t>(p) + 1] += start[static_cast<size_t>(p)];
  std::vector<int> at(static_cast<size_t>(start.back()));
  {
    std::vector<int> fill(start.begin(), start.end() - 1);
    for (size_t f = 0; f < nf; ++f)
      if (patchOf[f] >= 0 && id[patchOf[f]] >= 0)
        for (int c : faces[f]) at[static_cast<size_t>(fill[static_cast<size_t>(c)]++)] = id[patchOf[f]];
  }
  // The patches that meet, position by position; each list sorted after.
  std::vector<std::vector<int>> adj(static_cast<size_t>(patches));
  PairsOverPositions(
      positionCount, threads,
      [&](size_t from, size_t to, std::vector<std::pair<int, int>>& out) {
        for (size_t p = from; p < to; ++p) {
          const auto first = at.begin() + start[p], last = at.begin() + start[p + 1];
          if (last - first < 2 || std::all_of(first + 1, last, [&](int x) { return x == *first; })) continue;
          std::sort(first, last);
          const auto end = std::unique(first, last);
          for (auto i = first; i != end; ++i)
            for (auto j = i + 1; j != end; ++j) out.emplace_back(*i, *j);
        }
      },
      [&](int a, int b) {
        adj[static_cast<size_t>(a)].push_back(b);
        adj[static_cast<size_t>(b)].push_back(a);
      });
  SortLists(adj, threads);
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

// The corners at each position, face by face: f * 3 + k (degenerate faces
// have none).
Rows CornersAt(const std::vector<Tri>& faces, int positionCount) {
  const size_t nf = faces.size();
  Rows at;
  at.start.assign(static_cast<size_t>(positionCount) + 1, 0);
  for (size_t f = 0; f < nf; ++f)
    if (!Degenerate(faces[f]))
      for (int k = 0; k < 3; ++k) ++at.start[static_cast<size_t>(faces[f][k]) + 1];
  for (int p = 0; p < positionCount; ++p)
    at.start[static_cast<size_t>(p) + 1] += at.start[static_cast<size_t>(p)];
  at.items.resize(static_cast<size_t>(at.start.back()));
  std::vector<int> fill(at.start.begin(), at.start.end() - 1);
  for (size_t f = 0; f < nf; ++f)
    if (!Degenerate(faces[f]))
      for (int k = 0; k < 3; ++k)
        at.items[static_cast<size_t>(fill[static_cast<size_t>(faces[f][k])]++)] = static_cast<int>(f * 3 + k);
  return at;
}

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

// The classes of the corners at one position: corners whose unit normals are
// equal within the tolerance, directly or through others, share one. A few
// corners are compared pair by pair; many (a cone's apex) through a grid of
// cells small enough that the normals in one cell are all equal, so that a
// position where thousands of faces meet costs about linear time.
class CornerClasses {
 public:
  explicit CornerClasses(double cosEqual)
      : cosEqual_(cosEqual), cell_(std::sqrt(2.0 - 2.0 * cosEqual) / 2.0) {}

  // Gives each corner in items[0, k) its class in cls, numbering new classes
  // from `classes` on in the order of their first corner.
  void Assign(const int* items, int k, const std::vector<std::array<Point3, 3>>& normals,
              std::vector<int>& cls, int& classes) {
    if (k <= kPairwise) {
      Few(items, k, normals, cls, classes);
      return;
    }
    const size_t n = static_cast<size_t>(k);
    unit_.resize(n);
    ok_.assign(n, 0);
    parent_.resize(n);
    for (size_t i = 0; i < n; ++i) {
      const int c = items[i];
      ok_[i] = Unit(normals[static_cast<size_t>(c / 3)][static_cast<size_t>(c % 3)], unit_[i].data());
      parent_[i] = static_cast<int>(i);
    }
    ByCells(n);
    id_.assign(n, -1);
    for (size_t i = 0; i < n; ++i) {
      int& slot = id_[static_cast<size_t>(ok_[i] ? Find(int(i)) : int(i))];
      if (slot < 0) slot = classes++;  // a corner without a usable normal: a class of its own
      cls[static_cast<size_t>(items[i])] = slot;
    }
  }

 private:
  static constexpr int kPairwise = 32;

  // Pair by pair, on the stack: most positions have a handful of corners.
  void Few(const int* items, int k, const std::vector<std::array<Point3, 3>>& normals, std::vector<int>& cls,
           int& classes) const {
    double unit[kPairwise][3];
    bool ok[kPairwise];
    int root[kPairwise], id[kPairwise];
    for (int i = 0; i < k; ++i) {
      const int c = items[i];
      ok[i] = Unit(normals[static_cast<size_t>(c / 3)][static_cast<size_t>(c % 3)], unit[i]);
      root[i] = i;
      id[i] = -1;
    }
    auto find = [&](int a) {
      while (root[a] != a) a = root[a] = root[root[a]];
      return a;
    };
    for (int i = 0; i < k; ++i)
      for (int j = i + 1; j < k && ok[i]; ++j)
        if (ok[j] &&
            unit[i][0] * unit[j][0] + unit[i][1] * unit[j][1] + unit[i][2] * unit[j][2] >= cosEqual_) {
          const int a = find(i), b = find(j);
          if (a != b) root[std::max(a, b)] = std::min(a, b);
        }
    for (int i = 0; i < k; ++i) {
      int& slot = id[ok[i] ? find(i) : i];
      if (slot < 0) slot = classes++;
      cls[static_cast<size_t>(items[i])] = slot;
    }
  }

  double Dot(size_t i, size_t j) const {
    return unit_[i][0] * unit_[j][0] + unit_[i][1] * unit_[j][1] + unit_[i][2] * unit_[j][2];
  }
  int Find(int a) {
    while (parent_[static_cast<size_t>(a)] != a)
      a = parent_[static_cast<size_t>(a)] = parent_[static_cast<size_t>(parent_[static_cast<size_t>(a)])];
    return a;
  }
  void Join(int a, int b) {
    a = Find(a), b = Find(b);
    if (a != b) parent_[static_cast<size_t>(std::max(a, b))] = std::min(a, b);
  }
  // Normals in one cell (side: half the chord of the tolerance) are equal;
  // normals equal to each other lie at most two cells apart on each axis.
  void ByCells(size_t n) {
    auto keyOf = [](int x, int y, int z) {
      return (uint64_t(uint16_t(x + 32768)) << 32) | (uint64_t(uint16_t(y + 32768)) << 16) |
             uint16_t(z + 32768);
    };
    cells_.clear();
    std::vector<int>& first = first_;
    first.clear();
    next_.assign(n, -1);
    std::vector<std::array<int, 3>> where;
    for (size_t i = 0; i < n; ++i) {
      if (!ok_[i]) continue;
      std::array<int, 3> c;
      for (int a = 0; a < 3; ++a)
        c[static_cast<size_t>(a)] = static_cast<int>(std::floor(unit_[i][static_cast<size_t>(a)] / cell_));
      auto [it, fresh] = cells_.emplace(keyOf(c[0], c[1], c[2]), static_cast<int>(first.size()));
      if (fresh) {
        first.push_back(static_cast<int>(i));
        where.push_back(c);
      } else {
        const int head = first[static_cast<size_t>(it->second)];
        next_[i] = next_[static_cast<size_t>(head)];
        next_[static_cast<size_t>(head)] = static_cast<int>(i);
        Join(head, static_cast<int>(i));
      }
    }
    for (size_t cell = 0; cell < first.size(); ++cell)
      for (int dx = -2; dx <= 2; ++dx)
        for (int dy = -2; dy <= 2; ++dy)
          for (int dz = -2; dz <= 2; ++dz) {
            if (std::make_tuple(dx, dy, dz) <= std::make_tuple(0, 0, 0)) continue;  // each pair of cells once
            const auto& c = where[cell];
            auto it = cells_.find(keyOf(c[0] + dx, c[1] + dy, c[2] + dz));
            if (it == cells_.end()) continue;
            const int a = first[cell], b = first[static_cast<size_t>(it->second)];
            bool joined = Find(a) == Find(b);
            for (int i = a; i >= 0 && !joined; i = next_[static_cast<size_t>(i)])
              for (int j = b; j >= 0 && !joined; j = next_[static_cast<size_t>(j)])
                if (Dot(size_t(i), size_t(j)) >= cosEqual_) {
                  Join(i, j);
                  joined = true;
                }
          }
  }

  double cosEqual_, cell_;
  std::vector<std::array<double, 3>> unit_;
  std::vector<uint8_t> ok_;
  std::vector<int> parent_, id_, first_, next_;
  std::unordered_map<uint64_t, int> cells_;
};

// The class a patch (its root) has at a position, insert only, over the
// importer's id index. Keys of roots merged away are left behind, never
// asked again.
class ClassTable {
 public:
  static uint64_t Key(int root, int pos) { return (uint64_t(uint32_t(root)) << 32) | uint32_t(pos); }
  int Find(uint64_t key) const {
    const int id =
        index_.Find(HashBytes(&key, sizeof key), [&](int i) { return entries_[size_t(i)].first == key; });
    return id < 0 ? -1 : entries_[static_cast<size_t>(id)].second;
  }
  void Put(uint64_t key, int value) {
    const int fresh = static_cast<int>(entries_.size());
    const int found = index_.FindOrInsert(
        HashBytes(&key, sizeof key), [&](int i) { return entries_[size_t(i)].first == key; }, fresh,
        [&](int i) { return HashBytes(&entries_[size_t(i)].first, sizeof(uint64_t)); });
    if (found >= 0)
      entries_[static_cast<size_t>(found)].second = value;
    else
      entries_.push_back({key, value});
  }

 private:
  IdIndex index_{64};
  std::vector<std::pair<uint64_t, int>> entries_;
};

// Pairs of faces in one class at a position that the groups may weigh: about
// nine per face on a mesh of the usual kind.
constexpr long kPairBudgetPerFace = 16;
constexpr long kPairBudget = 1 << 20;

// Bits 24-30: those that do not reach the bucket of the plug-in's corner lookup.
constexpr uint32_t kGroupBits = 0x7f000000u;

// How faces f < g meet (as How), and where they first meet in one class, in
// the order of f's corners, then g's: the position and class, or pos -1.
struct Meeting {
  int how = 0, pos = -1, cls = -1;
};
Meeting Meet(const std::vector<Tri>& faces, const std::vector<int>& cls, int f, int g) {
  Meeting m;
  for (int k = 0; k < 3; ++k)
    for (int j = 0; j < 3; ++j) {
      if (faces[size_t(f)][k] != faces[size_t(g)][j]) continue;
      const bool one = cls[size_t(f) * 3 + k] == cls[size_t(g) * 3 + j];
      m.how |= one ? 1 : 2;
      if (one && m.pos < 0) m.pos = faces[size_t(f)][k], m.cls = cls[size_t(f) * 3 + k];
    }
  return m;
}

// Visits the joins whose words share no bit: face pairs f < g that meet in one
// class at some position, each once, at the first position where they meet
// so (Meet), positions in order. No list of all pairs to sort: a pair
// met at a later position is skipped there.
template <class Visit>
void LostJoins(const std::vector<Tri>& faces, const Rows& at, const std::vector<int>& cls,
               const std::vector<uint32_t>& words, size_t fromPos, size_t toPos, Visit visit) {
  std::vector<std::tuple<int, uint32_t, int>> here;  // (class, word, face)
  auto lostBetween = [](uint32_t a, uint32_t b) { return !(a == b && a != 0) && (a & b) == 0; };
  auto offer = [&](int p, int x, int y) {
    const int f = std::min(x, y), g = std::max(x, y);
    const Meeting m = Meet(faces, cls, f, g);
    if (m.pos == p) visit(f, g, m);
  };
  for (int p = int(fromPos); p < int(toPos); ++p) {
    const int* items = at.items.data() + at.Begin(p);
    const int k = at.End(p) - at.Begin(p);
    if (k <= 16) {  // few corners: pair by pair, no sorting
      for (int i = 0; i < k; ++i)
        for (int j = i + 1; j < k; ++j) {
          const int a = items[i], b = items[j];
          if (cls[static_cast<size_t>(a)] == cls[static_cast<size_t>(b)] &&
              lostBetween(words[static_cast<size_t>(a / 3)], words[static_cast<size_t>(b / 3)]))
            offer(p, a / 3, b / 3);
        }
      continue;
    }
    here.clear();
    for (int e = 0; e < k; ++e) {
      const int c = items[e];
      here.emplace_back(cls[static_cast<size_t>(c)], words[static_cast<size_t>(c / 3)], c / 3);
    }
    std::sort(here.begin(), here.end());
    for (size_t i = 0; i < here.size(); ++i)
      for (size_t j = i + 1; j < here.size() && std::get<0>(here[j]) == std::get<0>(here[i]); ++j) {
        const uint32_t a = std::get<1>(here[i]), b = std::get<1>(here[j]);
        if (a == b && a != 0) continue;  // one word: they share it
        if ((a & b) == 0) offer(p, std::get<2>(here[i]), std::get<2>(here[j]));
      }
  }
}

void CountLost(const std::vector<Tri>& faces, const Rows& at, const std::vector<int>& cls, int positionCount,
               int threads, Result& r) {
  const int parts = parallel::Parts(static_cast<size_t>(positionCount), threads);
  std::vector<std::array<long, 2>> counts(static_cast<size_t>(parts));
  parallel::ForParts(static_cast<size_t>(positionCount), parts, [&](int k, size_t from, size_t to) {
    long floor = 0, lack = 0;
    LostJoins(faces, at, cls, r.words, from, to, [&](int, int, Meeting m) { ++(m.how == 3 ? floor : lack); });
    counts[static_cast<size_t>(k)] = {floor, lack};
  });
  r.floor = r.lackOfBits = 0;
  for (const auto& [floor, lack] : counts) {
    r.floor += floor;
    r.lackOfBits += lack;
  }
}

// The sets (patches and groups) of each face, in the order given: most faces
// hold one, kept inline; the rest follow in links of one array.
class FaceSets {
  struct Link {
    int set, next;
  };

 public:
  explicit FaceSets(size_t faces) : first_(faces, -1), more_(faces, -1), last_(faces, -1) {}
  void Add(size_t f, int set) {
    if (first_[f] < 0) {
      first_[f] = set;
      return;
    }
    const int link = static_cast<int>(links_.size());
    links_.push_back({set, -1});
    (more_[f] < 0 ? more_[f] : links_[static_cast<size_t>(last_[f])].next) = link;
    last_[f] = link;
  }

  // The sets of one face, as a range of ints; -1 ends it (sets are numbers from 0).
  class It {
   public:
    It(const std::vector<Link>& links, int set, int next) : links_(&links), set_(set), next_(next) {}
    int operator*() const { return set_; }
    It& operator++() {
      if (next_ < 0) {
        set_ = -1;
      } else {
        set_ = (*links_)[static_cast<size_t>(next_)].set;
        next_ = (*links_)[static_cast<size_t>(next_)].next;
      }
      return *this;
    }
    bool operator!=(const It& o) const { return set_ != o.set_ || next_ != o.next_; }

   private:
    const std::vector<Link>* links_;
    int set_, next_;
  };
  struct Range {
    It b, e;
    It begin() const { return b; }
    It end() const { return e; }
  };
  Range operator[](size_t f) const {
    return {It(links_, first_[f], first_[f] < 0 ? -1 : more_[f]), It(links_, -1, -1)};
  }

 private:
  std::vector<int> first_, more_, last_;
  std::vector<Link> links_;
};

// Where one bit per patch leaves joins hard that words could make smooth (the
// patches could not take in a face without holding two classes at one
// position, or ran out of bits): groups beyond the patches, each a set of
// faces any two of which meet only in one class, one per position and class
// whose joins are still hard, and one per pair where that is not enough. Then
// patches and groups are coloured together, a bit each, groups whose faces
// meet in two classes at a position taking different bits.
void Refine(const std::vector<Tri>& faces, const Rows& at, const std::vector<int>& cls,
            const std::vector<int>& patchOf, int positionCount, int threads, Result& r) {
  const size_t nf = faces.size();
  // Joins between patches (or inside one that found no bit), with the first
  // position and class where the two faces meet in one class.
  struct Open {
    int pos, cls, f, g;
    auto operator<=>(const Open&) const = default;
  };
  std::vector<Open> open;
  long floor = 0;
  // Visited in order of position: sorting each position's run sorts them all.
  // Parts of the positions at once, their lists joined in order.
  {
    const int parts = parallel::Parts(static_cast<size_t>(positionCount), threads);
    std::vector<std::vector<Open>> partOpen(static_cast<size_t>(parts));
    std::vector<long> partFloor(static_cast<size_t>(parts), 0);
    parallel::ForParts(static_cast<size_t>(positionCount), parts, [&](int k, size_t from, size_t to) {
      std::vector<Open>& mine = k == 0 ? open : partOpen[static_cast<size_t>(k)];
      long lost = 0;
      LostJoins(faces, at, cls, r.words, from, to, [&](int f, int g, Meeting m) {
        if (m.how == 3)
          ++lost;
        else
          mine.push_back({m.pos, m.cls, f, g});
      });
      partFloor[static_cast<size_t>(k)] = lost;
    });
    for (int k = 0; k < parts; ++k) {
      floor += partFloor[static_cast<size_t>(k)];
      if (k > 0) open.insert(open.end(), partOpen[size_t(k)].begin(), partOpen[size_t(k)].end());
    }
  }
  if (open.empty()) {  // only the floor is lost: the patches' bits stay
    r.floor = floor;
    r.lackOfBits = 0;
    return;
  }
  for (size_t s = 0; s < open.size();) {
    size_t e = s;
    while (e < open.size() && open[e].pos == open[s].pos) ++e;
    std::sort(open.begin() + long(s), open.begin() + long(e));
    s = e;
  }

  // Sets: patches of two or more faces in order of their first face, then groups.
  FaceSets setsOf(nf);
  int sets = 0;
  {
    std::vector<int> id(nf, 0);  // sizes, then in the same place the numbers
    for (size_t f = 0; f < nf; ++f)
      if (patchOf[f] >= 0) ++id[static_cast<size_t>(patchOf[f])];
    for (size_t p = 0; p < nf; ++p) id[p] = id[p] >= 2 ? sets++ : -1;
    for (size_t f = 0; f < nf; ++f)
      if (patchOf[f] >= 0 && id[static_cast<size_t>(patchOf[f])] >= 0)
        setsOf.Add(f, id[static_cast<size_t>(patchOf[f])]);
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
      for (int x : members) setsOf.Add(size_t(x), sets);
      ++sets;
      ++r.bridges;
    }
    for (size_t i = s; i < e; ++i)
      if (!together(open[i].f, open[i].g)) {
        setsOf.Add(size_t(open[i].f), sets);
        setsOf.Add(size_t(open[i].g), sets);
        ++sets;
        ++r.bridges;
      }
    s = e;
  }

  // Sets whose faces meet at a position in two classes must differ.
  // The sets that must differ, position by position; each list sorted after.
  std::vector<std::vector<int>> adj(static_cast<size_t>(sets));
  PairsOverPositions(
      positionCount, threads,
      [&](size_t from, size_t to, std::vector<std::pair<int, int>>& out) {
        std::vector<std::pair<int, int>> here;  // (class, set)
        for (int p = int(from); p < int(to); ++p) {
          bool oneClass = true;  // then no two sets here must differ: most positions of a smooth mesh
          for (int e = at.Begin(p) + 1; e < at.End(p) && oneClass; ++e)
            oneClass = cls[static_cast<size_t>(at.items[static_cast<size_t>(e)])] ==
                       cls[static_cast<size_t>(at.items[static_cast<size_t>(at.Begin(p))])];
          if (oneClass) continue;
          here.clear();
          for (int e = at.Begin(p); e < at.End(p); ++e) {
            const int c = at.items[static_cast<size_t>(e)];
            for (int set : setsOf[static_cast<size_t>(c / 3)])
              here.emplace_back(cls[static_cast<size_t>(c)], set);
          }
          std::sort(here.begin(), here.end());
          here.erase(std::unique(here.begin(), here.end()), here.end());
          for (size_t i = 0; i < here.size(); ++i)
            for (size_t j = i + 1; j < here.size(); ++j)
              if (here[i].first != here[j].first && here[i].second != here[j].second)
                out.emplace_back(here[i].second, here[j].second);
        }
      },
      [&](int a, int b) {
        adj[static_cast<size_t>(a)].push_back(b);
        adj[static_cast<size_t>(b)].push_back(a);
      });
  SortLists(adj, threads);
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
  CountLost(faces, at, cls, positionCount, threads, r);
}

}  // namespace

namespace {

// `own`, where given, is `normals`, freed once read.
Result Rebuild(const std::vector<Tri>& faces, const std::vector<std::array<Point3, 3>>& normals,
               int positionCount, std::vector<std::array<Point3, 3>>* own, int threads) {
  const size_t nf = faces.size();
  const double cosEqual = std::cos(kEqualNormalDeg * 3.14159265358979323846 / 180.0);

  const Rows at = CornersAt(faces, positionCount);
  // Class of each corner: corners at one position whose normals are equal,
  // directly or through a chain of equal ones, share a class, numbered in
  // order of position, then corner.
  // Parts of the positions at once, each numbering its classes from 0; the
  // numbers of later parts then move past those of the parts before.
  std::vector<int> cls(nf * 3, -1);
  const int parts = parallel::Parts(static_cast<size_t>(positionCount), threads);
  std::vector<int> partClasses(static_cast<size_t>(parts) + 1, 0);
  parallel::ForParts(static_cast<size_t>(positionCount), parts, [&](int k, size_t from, size_t to) {
    CornerClasses classifier(cosEqual);
    int count = 0;
    for (size_t p = from; p < to; ++p) {
      const int* items = at.items.data() + at.Begin(int(p));
      classifier.Assign(items, at.End(int(p)) - at.Begin(int(p)), normals, cls, count);
    }
    partClasses[static_cast<size_t>(k) + 1] = count;
  });
  for (int k = 0; k < parts; ++k) partClasses[size_t(k) + 1] += partClasses[size_t(k)];
  parallel::ForParts(static_cast<size_t>(positionCount), parts, [&](int k, size_t from, size_t to) {
    const int base = partClasses[static_cast<size_t>(k)];
    if (base == 0) return;
    for (int e = at.Begin(int(from)); e < at.Begin(int(to)); ++e)
      cls[static_cast<size_t>(at.items[size_t(e)])] += base;
  });
  const int classes = partClasses.back();
  if (own) Release(*own);
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
  // A patch's positions are a list of its faces' corners, linked by `next`;
  // a corner's position and class are the face's and cls's.
  std::vector<int> next(nf * 3), head(nf, -1), size(nf, 0);
  auto posOf = [&](int corner) {
    return faces[static_cast<size_t>(corner / 3)][static_cast<size_t>(corner % 3)];
  };
  for (size_t f = 0; f < nf; ++f) {
    if (Degenerate(faces[f])) continue;
    const int c = static_cast<int>(f * 3);
    next[f * 3] = -1;
    next[f * 3 + 1] = c;
    next[f * 3 + 2] = c + 1;
    head[f] = c + 2;
    size[f] = 3;
  }
  // The class of patch `root` at `pos`, or -1: found among the corners of a
  // position where few faces meet, and in a table where many do (a scan there
  // would make a cone's apex quadratic).
  constexpr int kScan = 32;
  auto crowdedAt = [&](int pos) { return at.End(pos) - at.Begin(pos) > kScan; };
  ClassTable classOf;
  for (size_t f = 0; f < nf; ++f)
    if (!Degenerate(faces[f]))
      for (int k = 0; k < 3; ++k)
        if (crowdedAt(faces[f][k])) classOf.Put(ClassTable::Key(int(f), faces[f][k]), cls[f * 3 + k]);
  auto classAt = [&](int root, int pos) {
    if (crowdedAt(pos)) return classOf.Find(ClassTable::Key(root, pos));
    for (int e = at.Begin(pos); e < at.End(pos); ++e) {
      const int c = at.items[static_cast<size_t>(e)];
      if (uf.Find(c / 3) == root) return cls[static_cast<size_t>(c)];
    }
    return -1;
  };
  std::vector<int> classesThere;  // a's class at each of b's positions, in b's order
  auto merge = [&](int a, int b) {
    a = uf.Find(a);
    b = uf.Find(b);
    if (a == b) return true;
    if (size[a] < size[b]) std::swap(a, b);
    classesThere.clear();
    for (int e = head[b], prev = -1; e >= 0; prev = e, e = next[static_cast<size_t>(e)]) {
      const int c = classAt(a, posOf(e));
      classesThere.push_back(c);
      if (c >= 0 && c != cls[static_cast<size_t>(e)]) {
        // The same two patches tend to be tried again: their conflict goes first.
        if (prev >= 0) {
          next[static_cast<size_t>(prev)] = next[static_cast<size_t>(e)];
          next[static_cast<size_t>(e)] = head[b];
          head[b] = e;
        }
        return false;
      }
    }
    // b's faces are not yet a's, and b lists each position once: the classes
    // found above still hold.
    size_t i = 0;
    for (int e = head[b]; e >= 0; ++i) {
      const int after = next[static_cast<size_t>(e)];
      if (classesThere[i] < 0) {
        next[static_cast<size_t>(e)] = head[a];
        head[a] = e;
        ++size[a];
        const int pos = posOf(e);
        if (crowdedAt(pos)) classOf.Put(ClassTable::Key(a, pos), cls[static_cast<size_t>(e)]);
      }
      e = after;
    }
    head[b] = -1;
    size[b] = 0;
    uf.parent[static_cast<size_t>(b)] = a;
    return true;
  };
  Result r;
  // A patch that refused a face once refuses it again: each is asked once.
  std::vector<int> asked(nf, -1);
  int round = 0;
  for (int k = 0; k < classes; ++k) {
    const int* list = members.items.data() + members.Begin(k);
    const int count = members.End(k) - members.Begin(k);
    for (int i = 1; i < count; ++i, ++round) {
      bool joined = false;
      for (int j = 0; j < i && !joined; ++j) {
        const int root = uf.Find(list[j]);
        if (asked[static_cast<size_t>(root)] == round) continue;
        asked[static_cast<size_t>(root)] = round;
        joined = merge(list[j], list[i]);
      }
      if (!joined) ++r.keptHard;
    }
  }
  long pairs = 0;  // pairs of faces in one class, for the budget below
  for (int k = 0; k < classes; ++k) {
    const long n = members.End(k) - members.Begin(k);
    pairs += n * (n - 1) / 2;
  }
  // What only the patches needed goes before the colouring, the import's peak.
  Release(members.start, members.items, next, head, size, asked);
  classOf = ClassTable();
  // Each face's patch, in place of the union-find's links.
  for (size_t f = 0; f < nf; ++f)
    if (!Degenerate(faces[f])) uf.parent[f] = uf.Find(static_cast<int>(f));
  for (size_t f = 0; f < nf; ++f)
    if (Degenerate(faces[f])) uf.parent[f] = -1;
  const std::vector<int> patchOf = std::move(uf.parent);
  Colour(faces, patchOf, positionCount, r, false, threads);
  // Where every class went into one patch and every patch found a bit, no join
  // is lost. Otherwise the joins are weighed pair by pair within each class,
  // unless so many faces meet in one class that the pairs pass a budget: then
  // the patches' bits stay.
  if (r.keptHard || r.flattened) {
    if (pairs <= kPairBudgetPerFace * long(nf) + kPairBudget)
      Refine(faces, at, cls, patchOf, positionCount, threads, r);
    else
      r.crowded = true;
  }
  return r;
}

}  // namespace

Result FromNormals(const std::vector<Tri>& faces, const std::vector<std::array<Point3, 3>>& normals,
                   int positionCount, int threads) {
  return Rebuild(faces, normals, positionCount, nullptr, threads);
}

Result FromNormals(const std::vector<Tri>& faces, std::vector<std::array<Point3, 3>>&& normals,
                   int positionCount, int threads) {
  return Rebuild(faces, normals, positionCount, &normals, threads);
}

Result FromAngle(const std::vector<Tri>& faces, const std::vector<Point3>& positions, double maxAngleDeg,
                 int threads) {
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
  // Faces that share an edge (a, b), found among the corners of whichever
  // end fewer faces meet at: a cone's apex costs no more than its rim.
  const int positionCount = static_cast<int>(positions.size());
  const Rows at = CornersAt(faces, positionCount);
  // A patch's root is its lowest face whatever the order of the joins.
  UnionFind uf(nf);
  for (size_t f = 0; f < nf; ++f) {
    if (Degenerate(faces[f]) || !valid[f]) continue;
    for (int k = 0; k < 3; ++k) {
      int a = faces[f][k], b = faces[f][(k + 1) % 3];
      if (at.End(a) - at.Begin(a) > at.End(b) - at.Begin(b)) std::swap(a, b);
      for (int e = at.Begin(a); e < at.End(a); ++e) {
        const size_t g = static_cast<size_t>(at.items[static_cast<size_t>(e)] / 3);
        if (g <= f || !valid[g]) continue;
        const Tri& t = faces[g];
        if (t[0] != b && t[1] != b && t[2] != b) continue;
        const double d = fn[f][0] * fn[g][0] + fn[f][1] * fn[g][1] + fn[f][2] * fn[g][2];
        if (d >= cosMax) {
          const int x = uf.Find(static_cast<int>(f)), y = uf.Find(static_cast<int>(g));
          if (x != y) uf.parent[static_cast<size_t>(std::max(x, y))] = std::min(x, y);
        }
      }
    }
  }
  std::vector<int> patchOf(nf, -1);
  for (size_t f = 0; f < nf; ++f)
    if (!Degenerate(faces[f])) patchOf[f] = uf.Find(static_cast<int>(f));
  Result r;
  Colour(faces, patchOf, static_cast<int>(positions.size()), r, true, threads);
  return r;
}

std::vector<int> ClusterPositions(const std::vector<Point3>& points, double tol, int* clusterCount,
                                  int threads) {
  const size_t n = points.size();
  UnionFind uf(n);
  auto join = [&](int a, int b) {
    a = uf.Find(a);
    b = uf.Find(b);
    if (a != b) uf.parent[std::max(a, b)] = std::min(a, b);
  };
  // Points join when within tol of each other. Far out, where floats lie
  // further apart than tol (beyond 2^62 tol), only equal points can join: they
  // are kept apart and joined by equality.
  constexpr double kFar = 0x1p62;
  std::vector<std::pair<std::array<float, 3>, int>> far;
  // The rest in cells of kSpan tol a side, found by a hash over the cell: a
  // point is compared with the points of its own cell and of those
  // neighbouring cells it lies within tol of (about one and a half cells).
  constexpr double kSpan = 16;
  const double side = tol * kSpan;
  struct Cell {
    int64_t x, y, z;
    bool operator==(const Cell&) const = default;
  };
  auto hashCell = [](const Cell& c) { return HashBytes(&c, sizeof c); };
  // With several threads the cells are sharded by their hash, each shard
  // filled by one thread; a cell's points are listed in order either way.
  struct Shard {
    IdIndex index{16};
    std::vector<Cell> cells;
    std::vector<int> head;  // first point of each cell
  };
  const int parts = parallel::Parts(n, threads);
  std::vector<Shard> shards(static_cast<size_t>(parts));
  auto shardOf = [&](uint64_t hash) { return static_cast<int>((hash >> 40) % static_cast<uint64_t>(parts)); };
  std::vector<Cell> cellOf(n);
  std::vector<int> cellIndex(n, -1), next(n, -1);  // cellIndex: the cell's number in its shard
  parallel::ForParts(static_cast<size_t>(parts), parts, [&](int k, size_t, size_t) {
    Shard& shard = shards[static_cast<size_t>(k)];
    shard.index = IdIndex(n / static_cast<size_t>(parts));
    for (size_t i = 0; i < n; ++i) {
      const Point3& p = points[i];
      if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
      if (std::fabs(std::floor(p.x / tol)) >= kFar || std::fabs(std::floor(p.y / tol)) >= kFar ||
          std::fabs(std::floor(p.z / tol)) >= kFar) {
        // -0.0 and +0.0 are one value.
        if (k == 0) far.push_back({{p.x + 0.0f, p.y + 0.0f, p.z + 0.0f}, static_cast<int>(i)});
        continue;
      }
      const Cell c{static_cast<int64_t>(std::floor(p.x / side)), static_cast<int64_t>(std::floor(p.y / side)),
                   static_cast<int64_t>(std::floor(p.z / side))};
      const uint64_t h = hashCell(c);
      if (shardOf(h) != k) continue;
      cellOf[i] = c;
      const int fresh = static_cast<int>(shard.cells.size());
      const int found = shard.index.FindOrInsert(
          h, [&](int id) { return shard.cells[static_cast<size_t>(id)] == c; }, fresh,
          [&](int id) { return hashCell(shard.cells[static_cast<size_t>(id)]); });
      const int cell = found >= 0 ? found : fresh;
      if (found < 0) {
        shard.cells.push_back(c);
        shard.head.push_back(-1);
      }
      cellIndex[i] = cell;
      next[i] = shard.head[static_cast<size_t>(cell)];
      shard.head[static_cast<size_t>(cell)] = static_cast<int>(i);
    }
  });
  std::sort(far.begin(), far.end());
  for (size_t k = 1; k < far.size(); ++k)
    if (far[k].first == far[k - 1].first) join(far[k].second, far[k - 1].second);

  const double tol2 = tol * tol;
  // Whether p lies within tol (and a margin for rounding) of the cell's lower
  // or upper face on one axis.
  const double reach = tol * 1.01;
  // The cells are only read from here on: parts of the points are compared
  // at once, each joining into a union-find of its own, merged after.
  std::vector<UnionFind> partFinds;
  for (int k = 1; k < parts; ++k) partFinds.emplace_back(n);
  parallel::ForParts(n, parts, [&](int k, size_t from, size_t to) {
    UnionFind& u = k == 0 ? uf : partFinds[static_cast<size_t>(k - 1)];
    auto compare = [&](size_t i, int other, bool ownCell) {
      const Point3& p = points[i];
      for (int j = other; j >= 0; j = next[static_cast<size_t>(j)]) {
        if (ownCell && j >= static_cast<int>(i)) continue;  // each pair in a cell once
        const Point3& q = points[static_cast<size_t>(j)];
        const double ex = double(q.x) - p.x, ey = double(q.y) - p.y, ez = double(q.z) - p.z;
        if (ex * ex + ey * ey + ez * ez <= tol2) {
          const int a = u.Find(static_cast<int>(i)), b = u.Find(j);
          if (a != b) u.parent[static_cast<size_t>(std::max(a, b))] = std::min(a, b);
        }
      }
    };
    for (size_t i = from; i < to; ++i) {
      if (cellIndex[i] < 0) continue;
      const Cell c = cellOf[i];
      const Shard& own = shards[static_cast<size_t>(shardOf(hashCell(c)))];
      compare(i, own.head[static_cast<size_t>(cellIndex[i])], true);
      const Point3& p = points[i];
      const double coord[3] = {p.x, p.y, p.z};
      const int64_t cc[3] = {c.x, c.y, c.z};
      int lo[3], hi[3];
      for (int a = 0; a < 3; ++a) {
        const double low = double(cc[a]) * side, high = double(cc[a] + 1) * side;
        lo[a] = coord[a] - low <= reach ? -1 : 0;
        hi[a] = high - coord[a] <= reach ? 1 : 0;
      }
      for (int dx = lo[0]; dx <= hi[0]; ++dx)
        for (int dy = lo[1]; dy <= hi[1]; ++dy)
          for (int dz = lo[2]; dz <= hi[2]; ++dz) {
            if (dx == 0 && dy == 0 && dz == 0) continue;
            const Cell d{c.x + dx, c.y + dy, c.z + dz};
            const uint64_t h = hashCell(d);
            const Shard& there = shards[static_cast<size_t>(shardOf(h))];
            const int found =
                there.index.Find(h, [&](int id) { return there.cells[static_cast<size_t>(id)] == d; });
            if (found >= 0) compare(i, there.head[static_cast<size_t>(found)], false);
          }
    }
  });
  for (UnionFind& u : partFinds)
    for (size_t i = 0; i < n; ++i)
      if (u.parent[i] != static_cast<int>(i)) join(static_cast<int>(i), u.Find(static_cast<int>(i)));
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
