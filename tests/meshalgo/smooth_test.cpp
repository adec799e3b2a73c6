// The flat smoothing reconstruction against the first one (a map per face, a
// vector per position) on random meshes: the same words and counts.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "meshalgo/colouring.h"
#include "meshalgo/smoothing.h"
#include "tests/meshalgo/literal_smooth.h"
#include "tests/support/rng.h"
#include "tools/smoothmeasure/smooth_quality.h"

namespace {

using scene::smoothing::Tri;
using tarntest::Rng;

void ExpectSame(const scene::smoothing::Result& a, const scene::smoothing::Result& b) {
  EXPECT_EQ(a.words, b.words);
  EXPECT_EQ(a.patches, b.patches);
  EXPECT_EQ(a.keptHard, b.keptHard);
  EXPECT_EQ(a.flattened, b.flattened);
}

// A grid of w x h quads over a bumpy surface, some faces reused, some
// degenerate; normals per corner from a few labels with noise.
struct Grid {
  std::vector<Tri> faces;
  std::vector<std::array<Point3, 3>> normals;
  std::vector<Point3> positions;
  int count = 0;
  Grid(Rng& r, int w, int h, int labels) {
    count = (w + 1) * (h + 1);
    for (int i = 0; i < count; ++i)
      positions.push_back(Point3(float(i % (w + 1)), float(i / (w + 1)), float(r.Int(5)) * 0.3f));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const int a = y * (w + 1) + x, b = a + 1, c = a + w + 1, d = c + 1;
        faces.push_back({a, b, d});
        faces.push_back({a, d, c});
      }
    for (int extra = r.Int(6); extra > 0; --extra) faces.push_back(faces[size_t(r.Int(int(faces.size())))]);
    if (r.Chance(30)) faces.push_back({0, 0, 1});
    for (size_t f = 0; f < faces.size(); ++f) {
      std::array<Point3, 3> n;
      const int label = r.Int(labels);
      for (int k = 0; k < 3; ++k) {
        const float a = 0.4f * float(r.Chance(85) ? label : r.Int(labels));
        n[k] = r.Chance(3) ? Point3(0, 0, 0) : Point3(std::sin(a), 1e-6f * float(r.Int(3)), std::cos(a));
      }
      normals.push_back(n);
    }
  }
};

// The flat patches against the first version's; where those lose no join the
// words are the first version's too, and elsewhere no join is lost above the
// floor, as counted pair by pair from the normals (smooth_quality).
TEST(SmoothingFlat, FromNormalsAndFromAngleMatchTheFirstVersion) {
  int hard = 0, refined = 0;
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE(seed);
    Rng r(seed);
    Grid g(r, 2 + r.Int(12), 2 + r.Int(12), 1 + r.Int(5));
    const auto fast = scene::smoothing::FromNormals(g.faces, g.normals, g.count);
    const auto first = literal_smoothing::FromNormals(g.faces, g.normals, g.count);
    EXPECT_EQ(fast.patches, first.patches);
    EXPECT_EQ(fast.keptHard, first.keptHard);
    const auto figures = smooth_quality::Measure(g.faces, g.positions, g.normals, fast.words);
    EXPECT_EQ(fast.floor, figures.floor);
    EXPECT_EQ(fast.lackOfBits, figures.hardByWords);
    EXPECT_EQ(fast.lackOfBits, 0);
    EXPECT_EQ(figures.wrongSoft, 0);
    if (first.keptHard == 0 && first.flattened == 0) {
      ExpectSame(fast, first);
    } else {
      EXPECT_LE(figures.hardByWords,
                smooth_quality::Measure(g.faces, g.positions, g.normals, first.words).hardByWords);
      refined += fast.words != first.words;
    }
    for (uint32_t w : fast.words) EXPECT_EQ(w >> 31, 0u);
    // Handing the normals over frees them and changes no word.
    auto normals = g.normals;
    const auto handed = scene::smoothing::FromNormals(g.faces, std::move(normals), g.count);
    ExpectSame(handed, fast);
    EXPECT_EQ(handed.floor, fast.floor);
    EXPECT_EQ(handed.bridges, fast.bridges);
    EXPECT_EQ(normals.capacity(), 0u);
    hard += fast.keptHard;
    const double angle = r.Pick<double, 4>({0.0, 20.0, 45.0, 180.0});
    ExpectSame(scene::smoothing::FromAngle(g.faces, g.positions, angle),
               literal_smoothing::FromAngle(g.faces, g.positions, angle));
    if (HasFailure()) break;
  }
  EXPECT_GT(hard, 50);     // joins that fail happened
  EXPECT_GT(refined, 20);  // and were mended
}

TEST(SmoothingFlat, ClusteringMatchesTheFirstVersion) {
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    SCOPED_TRACE(seed);
    Rng r(seed);
    std::vector<Point3> pts;
    const double tol = 2e-5;
    for (int i = 0; i < 400; ++i) {
      if (!pts.empty() && r.Chance(40)) {
        // Near an earlier point, about the tolerance away along some axes.
        Point3 q = pts[size_t(r.Int(int(pts.size())))];
        static const float steps[] = {0, 0.5f, 0.99f, 1.0f, 1.01f, 2.0f};
        q.x += r.Pick(steps) * float(tol) * (r.Chance(50) ? 1 : -1);
        if (r.Chance(50)) q.y += r.Pick(steps) * float(tol);
        pts.push_back(q);
      } else if (r.Chance(3)) {
        pts.push_back(Point3(NAN, 0, 0));
      } else {
        // Cells on both sides of 0 and far from it.
        pts.push_back(
            Point3(float(r.Int(200) - 100) * 1e-5f, float(r.Int(3)) * 1e-5f, r.Chance(10) ? 1e6f : 0.0f));
      }
    }
    int a = 0, b = 0;
    EXPECT_EQ(scene::smoothing::ClusterPositions(pts, tol, &a),
              literal_smoothing::ClusterPositions(pts, tol, &b));
    EXPECT_EQ(a, b);
    if (HasFailure()) break;
  }
}

// Split over threads, each stage gives what it gives on one: clouds of
// points large enough for three parts, with near and equal neighbours, points
// that are not numbers and points far out.
TEST(SmoothingThreads, ClusteringIsTheSameOnAnyNumberOfThreads) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE(seed);
    Rng r(seed);
    const double tol = 2e-5;
    std::vector<Point3> pts;
    while (pts.size() < 60000) {
      if (!pts.empty() && r.Chance(30)) {
        Point3 q = pts[size_t(r.Int(int(pts.size())))];
        static const float steps[] = {0, 0.5f, 0.99f, 1.0f, 1.01f, 2.0f, 16.0f};
        q.x += r.Pick(steps) * float(tol) * (r.Chance(50) ? 1 : -1);
        if (r.Chance(50)) q.z -= r.Pick(steps) * float(tol);
        pts.push_back(q);
      } else if (r.Chance(1)) {
        pts.push_back(r.Chance(50) ? Point3(NAN, 0, 0) : Point3(3e38f, 1, float(r.Int(2))));
      } else {
        pts.push_back(
            Point3(float(r.Int(4000) - 2000) * 1e-4f, float(r.Int(4000)) * 1e-4f, float(r.Int(50)) * 1e-5f));
      }
    }
    int one = 0;
    const std::vector<int> single = scene::smoothing::ClusterPositions(pts, tol, &one, 1);
    for (int threads : {2, 3}) {
      int count = 0;
      EXPECT_EQ(scene::smoothing::ClusterPositions(pts, tol, &count, threads), single) << threads;
      EXPECT_EQ(count, one);
    }
    EXPECT_LT(one, int(pts.size()) * 9 / 10);  // joins happened
  }
}

TEST(SmoothingThreads, WordsAreTheSameOnAnyNumberOfThreads) {
  int refined = 0;
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    SCOPED_TRACE(seed);
    Rng r(seed);
    const Grid g(r, 240, 230, 2 + r.Int(5));
    const scene::smoothing::Result one = scene::smoothing::FromNormals(g.faces, g.normals, g.count, 1);
    refined += one.keptHard > 0;
    for (int threads : {2, 3}) {
      const scene::smoothing::Result many =
          scene::smoothing::FromNormals(g.faces, g.normals, g.count, threads);
      ExpectSame(many, one);
      EXPECT_EQ(many.floor, one.floor);
      EXPECT_EQ(many.lackOfBits, one.lackOfBits);
      EXPECT_EQ(many.bridges, one.bridges);
      ExpectSame(scene::smoothing::FromAngle(g.faces, g.positions, 30, threads),
                 scene::smoothing::FromAngle(g.faces, g.positions, 30, 1));
    }
  }
  EXPECT_GT(refined, 0);
}

}  // namespace

namespace {

// Patches whose meetings form the crown graph on 2 x 32 patches: u_i meets v_j
// where i != j. Each patch is a fan of 31 faces with one normal; it meets each
// neighbour at a rim position of its own. Every patch has 31 neighbours, so the
// greedy order is the faces' order, u1 v1 u2 v2 ..., and gives u_i and v_i the
// bit i - 1: the last pair finds none. Two bits would do.
struct Crown {
  std::vector<Tri> faces;
  std::vector<std::array<Point3, 3>> normals;
  std::vector<Point3> positions;
  Crown() {
    const int n = 32;
    auto shared = [&](int i, int j) { return 2 * n + i * n + j; };  // where u_i meets v_j
    const int extra = 2 * n + n * n;
    positions.resize(size_t(extra + 2 * n));
    for (size_t p = 0; p < positions.size(); ++p)
      positions[p] = Point3(float(p % 37), float(p % 11) * 0.5f, float(p % 7) * 0.25f);
    for (int i = 0; i < n; ++i)
      for (int side = 0; side < 2; ++side) {
        const int patch = 2 * i + side;
        std::vector<int> rim;
        for (int j = 0; j < n; ++j)
          if (j != i) rim.push_back(side == 0 ? shared(i, j) : shared(j, i));
        rim.push_back(extra + patch);
        const float a = 0.02f * float(patch);
        for (size_t k = 0; k + 1 < rim.size(); ++k) {
          faces.push_back({patch, rim[k], rim[k + 1]});
          normals.push_back({Point3(std::sin(a), 0, std::cos(a)), Point3(std::sin(a), 0, std::cos(a)),
                             Point3(std::sin(a), 0, std::cos(a))});
        }
      }
  }
};

}  // namespace

TEST(SmoothingWords, WhereTheGreedyBitsRunOutAColouringIsFound) {
  const Crown c;
  const auto first = literal_smoothing::FromNormals(c.faces, c.normals, int(c.positions.size()));
  EXPECT_EQ(first.flattened, 2);
  // Every two faces of a fan meet at its centre: 31 * 30 / 2 joins in each.
  EXPECT_EQ(smooth_quality::Measure(c.faces, c.positions, c.normals, first.words).hardByWords, 2 * 465);
  const auto r = scene::smoothing::FromNormals(c.faces, c.normals, int(c.positions.size()));
  EXPECT_EQ(r.patches, 64);
  EXPECT_EQ(r.flattened, 0);
  EXPECT_EQ(r.floor, 0);
  EXPECT_EQ(r.lackOfBits, 0);
  const auto figures = smooth_quality::Measure(c.faces, c.positions, c.normals, r.words);
  EXPECT_EQ(figures.joins, 64 * 465);
  EXPECT_EQ(figures.hardByWords, 0);
  EXPECT_EQ(figures.wrongSoft, 0);
  for (size_t f = 0; f < r.words.size(); ++f) EXPECT_EQ(std::popcount(r.words[f]), 1) << f;
}

TEST(SmoothingWords, FacesSmoothAtOneEndOfAnEdgeAndHardAtTheOtherAreTheFloor) {
  // Two faces over the edge 0-1; a third face at 1 joins the second there. The
  // first two agree at 0, differ at 1: the floor. Face 2 smooths with face 1 at
  // position 1 and meets face 0 there in another class.
  const Point3 up(0, 0, 1), tilt(0, 0.5f, 0.8660254f);
  const std::vector<Tri> faces{{0, 1, 2}, {1, 0, 3}, {1, 3, 4}};
  const std::vector<std::array<Point3, 3>> normals{{up, up, up}, {tilt, up, tilt}, {tilt, tilt, tilt}};
  const std::vector<Point3> positions{Point3(0, 0, 0), Point3(1, 0, 0), Point3(0, 1, 0), Point3(0, -1, 0),
                                      Point3(1, -1, 0)};
  const auto r = scene::smoothing::FromNormals(faces, normals, 5);
  EXPECT_EQ(r.floor, 1);
  EXPECT_EQ(r.lackOfBits, 0);
  EXPECT_EQ(r.words[0] & r.words[1], 0u);
  EXPECT_NE(r.words[1] & r.words[2], 0u);
  EXPECT_EQ(r.words[0] & r.words[2], 0u);
}

// Face 1 smooths with face 0 at position 1 and with face 2 at position 2, while
// faces 0 and 2 meet hard at position 0. One bit per patch cannot; two bits on
// face 1 can.
TEST(SmoothingWords, AFaceTakesTwoBitsWhereOneBitPerPatchCannot) {
  const Point3 a(0, 0, 1), b(0, 1, 0), c(1, 0, 0);
  const std::vector<Tri> faces{{0, 1, 3}, {1, 2, 5}, {2, 0, 4}};
  const std::vector<std::array<Point3, 3>> normals{{a, a, a}, {a, c, b}, {c, c, c}};
  const std::vector<Point3> positions{Point3(0, 0, 0),  Point3(1, 0, 0),  Point3(0.5f, 1, 0),
                                      Point3(1, -1, 0), Point3(-1, 1, 0), Point3(1.5f, 1, 0)};
  const auto first = literal_smoothing::FromNormals(faces, normals, 6);
  EXPECT_EQ(first.keptHard, 1);
  const auto r = scene::smoothing::FromNormals(faces, normals, 6);
  EXPECT_EQ(r.floor, 0);
  EXPECT_EQ(r.lackOfBits, 0);
  EXPECT_EQ(r.bridges, 1);
  EXPECT_NE(r.words[0] & r.words[1], 0u);
  EXPECT_NE(r.words[1] & r.words[2], 0u);
  EXPECT_EQ(r.words[0] & r.words[2], 0u);
  EXPECT_EQ(std::popcount(r.words[1]), 2);
  EXPECT_EQ(r.words[1] & 0x7f000000u, r.words[1] & r.words[2]);  // the group's bit is one of 24-30
  EXPECT_NE(r.words[1] & r.words[2], 0u);
  EXPECT_EQ(smooth_quality::Measure(faces, positions, normals, r.words).hardByWords, 0);
}

TEST(SmoothingWords, TheColouringIsProperAndExactOnTwoColourableGraphs) {
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    SCOPED_TRACE(seed);
    Rng r(seed);
    const int n = 1 + r.Int(60), colours = 1 + r.Int(6), density = 1 + r.Int(40);
    const bool bipartite = r.Chance(40);
    std::vector<std::vector<int>> adj(static_cast<size_t>(n));
    for (int u = 0; u < n; ++u)
      for (int v = u + 1; v < n; ++v)
        if (r.Chance(density) && (!bipartite || (u % 2) != (v % 2))) {
          adj[size_t(u)].push_back(v);
          adj[size_t(v)].push_back(u);
        }
    int left = -1;
    const auto colour = scene::colouring::Colour(adj, bipartite ? 2 : colours, &left);
    int none = 0;
    for (int u = 0; u < n; ++u) {
      none += colour[size_t(u)] < 0;
      EXPECT_LT(colour[size_t(u)], bipartite ? 2 : colours);
      for (int v : adj[size_t(u)]) {
        if (colour[size_t(u)] >= 0) {
          EXPECT_NE(colour[size_t(u)], colour[size_t(v)]);
        }
      }
    }
    EXPECT_EQ(none, left);
    if (bipartite) {
      EXPECT_EQ(left, 0);
    }
    EXPECT_EQ(colour, scene::colouring::Colour(adj, bipartite ? 2 : colours, &left));
  }
}

// Fans round a hub at position 0, face i between rim positions 1 + i and
// 1 + (i + 1) % n. normalAt(i, k) is face i's normal at its corner k.
struct Fan {
  std::vector<Tri> faces;
  std::vector<std::array<Point3, 3>> normals;
  std::vector<Point3> positions{Point3(0, 0, 1)};
  template <class NormalAt>
  Fan(int n, NormalAt normalAt) {
    for (int i = 0; i < n; ++i) {
      const float a = 6.2831853f * float(i) / float(n);
      positions.push_back(Point3(std::cos(a), std::sin(a), 0));
      faces.push_back({0, 1 + i, 1 + (i + 1) % n});
      normals.push_back({normalAt(i, 0), normalAt(i, 1), normalAt(i, 2)});
    }
  }
};

Point3 Direction(int i) {
  return Point3(std::sin(0.03f * float(i)), 0, std::cos(0.03f * float(i)));
}

// Normals that agree at the hub and differ at each rim position between
// neighbours: neighbours are the floor, and every other pair joins at the hub
// alone. The groups find words for all of those; past the budget of pairs the
// patches' bits stay and the warning counts corners.
TEST(SmoothingWords, AFanWhoseFacesJoinOnlyAtTheHub) {
  for (const int n : {40, 2000}) {
    SCOPED_TRACE(n);
    const Fan fan(n, [](int, int k) { return Direction(k); });
    const auto r = scene::smoothing::FromNormals(fan.faces, fan.normals, n + 1);
    const auto figures = smooth_quality::Measure(fan.faces, fan.positions, fan.normals, r.words);
    EXPECT_EQ(figures.joins, long(n) * (n - 1) / 2);
    EXPECT_EQ(figures.floor, n);
    EXPECT_EQ(figures.wrongSoft, 0);
    EXPECT_EQ(r.crowded, n == 2000);
    if (n == 40) {
      EXPECT_EQ(r.floor, n);
      EXPECT_EQ(r.lackOfBits, 0);
      EXPECT_EQ(figures.hardByWords, 0);
    } else {
      EXPECT_EQ(r.floor + r.lackOfBits, 0);
      EXPECT_GT(r.keptHard, 0);
    }
  }
}

// 40 pairs of faces, each pair smooth along its shared spoke and all of them
// hard against each other at the hub: 40 patches that need 40 bits. Nine
// patches' joins stay hard for lack of bits, and no hard edge is lost.
TEST(SmoothingWords, FortyPatchesAtOneHubLackBits) {
  const Fan fan(80, [](int i, int) { return Direction(i / 2); });
  const auto r = scene::smoothing::FromNormals(fan.faces, fan.normals, 81);
  EXPECT_EQ(r.patches, 40);
  EXPECT_EQ(r.floor, 0);
  EXPECT_EQ(r.lackOfBits, 9);
  const auto figures = smooth_quality::Measure(fan.faces, fan.positions, fan.normals, r.words);
  EXPECT_EQ(figures.joins, 40);
  EXPECT_EQ(figures.hardByWords, 9);
  EXPECT_EQ(figures.wrongSoft, 0);
}

namespace {

// A cone's side: face i's normal at the apex (the hub) points out at the
// middle of the face, at the rim it is the rim position's own.
Point3 Slant(double turns) {
  const double a = 6.283185307179586 * turns;
  return Point3(float(0.894 * std::cos(a)), float(0.894 * std::sin(a)), 0.447f);
}

// Normals at one position that are equal through a chain of equal ones form
// one class, by pairs (few corners) or by cells (many): both against the
// pairwise union, on fans whose hub normals sweep in steps either side of the
// tolerance, with some repeated, some unusable and some far apart.
TEST(SmoothingFlat, ManyCornersAtOnePositionClassAsThePairwiseUnion) {
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    SCOPED_TRACE(seed);
    Rng r(seed);
    const int n = 8 + r.Int(300);
    const double stepDeg = r.Pick<double, 5>({0.02, 0.05, 0.09, 0.11, 0.5});
    std::vector<Point3> hub(static_cast<size_t>(n));
    double turns = 0;
    for (int i = 0; i < n; ++i) {
      if (!r.Chance(20)) turns += (r.Chance(10) ? 30.0 : 1.0) * stepDeg / 360.0;
      hub[size_t(i)] = r.Chance(3) ? Point3(0, 0, 0) : Slant(turns);
    }
    const Fan fan(
        n, [&](int i, int k) { return k == 0 ? hub[size_t(i)] : Slant(double((i + k - 1) % n) / n + 0.5); });
    const auto fast = scene::smoothing::FromNormals(fan.faces, fan.normals, n + 1);
    const auto first = literal_smoothing::FromNormals(fan.faces, fan.normals, n + 1);
    EXPECT_EQ(fast.patches, first.patches);
    EXPECT_EQ(fast.keptHard, first.keptHard);
    if (first.keptHard == 0 && first.flattened == 0) ExpectSame(fast, first);
    if (HasFailure()) break;
  }
}

// A smooth cone of many segments: the apex normals differ from neighbour to
// neighbour by less than the tolerance, so the side is one patch with one
// bit, and the apex one vertex, not a vertex per face.
TEST(SmoothingWords, ASmoothConeIsOnePatch) {
  const int n = 20000;
  const Fan fan(
      n, [&](int i, int k) { return k == 0 ? Slant((i + 0.5) / n) : Slant(double((i + k - 1) % n) / n); });
  const auto r = scene::smoothing::FromNormals(fan.faces, fan.normals, n + 1);
  EXPECT_EQ(r.patches, 1);
  EXPECT_EQ(r.keptHard, 0);
  EXPECT_EQ(r.floor + r.lackOfBits, 0);
  for (uint32_t w : r.words) ASSERT_EQ(w, 1u);
}

}  // namespace

// The refinement's words are what a speed-up must keep bit for bit: their
// digest over the random grids above, where one bit per patch loses joins.
TEST(SmoothingWords, RefinedWordsStayAsTheyWere) {
  uint64_t digest = 0xcbf29ce484222325ULL;
  auto mix = [&](uint64_t v) {
    for (int b = 0; b < 8; ++b) digest = (digest ^ ((v >> (8 * b)) & 0xff)) * 0x100000001b3ULL;
  };
  int refined = 0;
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    Rng r(seed);
    Grid g(r, 2 + r.Int(12), 2 + r.Int(12), 1 + r.Int(5));
    const auto fast = scene::smoothing::FromNormals(g.faces, g.normals, g.count);
    if (fast.keptHard == 0 && fast.flattened == 0) continue;
    ++refined;
    for (uint32_t w : fast.words) mix(w);
    mix(uint64_t(fast.floor));
    mix(uint64_t(fast.lackOfBits));
  }
  EXPECT_GT(refined, 50);
  EXPECT_EQ(digest, 0xfefa0e2dc532c91bULL) << std::hex << digest;
}
