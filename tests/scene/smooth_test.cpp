// The flat smoothing reconstruction against the first one (a map per face, a
// vector per position) on random meshes: the same words and counts.
#include <gtest/gtest.h>

#include <cmath>

#include "scene/import_smooth.h"
#include "tests/scene/literal_smooth.h"
#include "tests/support/rng.h"

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

TEST(SmoothingFlat, FromNormalsAndFromAngleMatchTheFirstVersion) {
  int hard = 0;
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE(seed);
    Rng r(seed);
    Grid g(r, 2 + r.Int(12), 2 + r.Int(12), 1 + r.Int(5));
    const auto fast = scene::smoothing::FromNormals(g.faces, g.normals, g.count);
    ExpectSame(fast, literal_smoothing::FromNormals(g.faces, g.normals, g.count));
    hard += fast.keptHard;
    const double angle = r.Pick<double, 4>({0.0, 20.0, 45.0, 180.0});
    ExpectSame(scene::smoothing::FromAngle(g.faces, g.positions, angle),
               literal_smoothing::FromAngle(g.faces, g.positions, angle));
    if (HasFailure()) break;
  }
  EXPECT_GT(hard, 50);  // joins that fail happened
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

}  // namespace
