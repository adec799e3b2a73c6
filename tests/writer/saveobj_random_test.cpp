// SaveObj against the literal writer on random objects: shared positions
// with mixed smoothing words, seams, material borders, two-sided copies,
// reversed and rotated repeats, collinear corners and wide fans.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "model/obj.h"
#include "tests/support/bytes.h"
#include "tests/support/host_doubles.h"
#include "tests/support/reports.h"
#include "tests/support/rng.h"
#include "tests/support/streams.h"
#include "tests/writer/literal_saveobj.h"
#include "writer/saveobj.h"

namespace {

using tarntest::Bytes;
using tarntest::ReportLog;
using tarntest::Rng;

struct Materials {
  FakeBitmap brick{"maps/brick.tga", ALPHA_NONE}, env{"C:\\env.png"};
  FakeStdMat a{"stone_vr"}, b{"glass"};
  FakeMtl multi;
  Mtl* list[4] = {nullptr, &a, &b, &multi};
  FakeMtl many[40];  // more sections than a byte per element is scanned for
  Mtl* Pick(Rng& r, bool wide) { return wide && r.Chance(60) ? &many[r.Int(40)] : list[r.Int(4)]; }
  Materials() {
    a.maps[ID_DI] = &brick;
    a.transparency = TRANSP_FILTER;
    b.maps[ID_RL] = &env;
    b.amounts[ID_RL] = 0.3f;
    b.twoSided = 1;
    b.opacity = 0.5f;
  }
};

void BuildRandom(Obj& obj, Rng& r, Materials& mats, bool spoilSections, bool wide) {
  std::vector<int> sv;
  const int rows = 2 + r.Int(5);
  for (int i = 0; i < rows * 4; ++i) {
    // A bent grid: rows of four on a curved sheet, some points repeated.
    const float x = float(i % 4), y = float(i / 4);
    sv.push_back(obj.AddSV(Point3(x, y, r.Chance(70) ? 0.1f * x * y : float(r.Int(3)))));
    if (r.Chance(10)) sv.push_back(obj.AddSV(Point3(x, y, 0.1f * x * y)));
  }
  const int n = static_cast<int>(sv.size());
  static const uint32_t groups[] = {0, 1, 1, 1, 3, 2, 6, 1u << 24, 0x80000000u, 0x80000001u, 0x80000003u};
  static const float coords[] = {0.0f, 0.25f, 0.5f, 1.0f};
  struct Face {
    int h[3];
    uint32_t sg;
  };
  std::vector<Face> faces;
  const int numFaces = 5 + r.Int(60);
  for (int f = 0; f < numFaces; ++f) {
    if (!faces.empty() && r.Chance(12)) {
      // A repeat: reversed (normals cancel), rotated, or with another word.
      const Face& old = faces[r.Int(static_cast<int>(faces.size()))];
      if (r.Chance(50))
        obj.AddTri(old.h[0], old.h[2], old.h[1], old.sg, 1, 0, 0);
      else
        obj.AddTri(old.h[1], old.h[2], old.h[0], old.sg ^ (r.Chance(50) ? 2u : 0u), 0, 2, 4);
      continue;
    }
    int v[3];
    const int roll = r.Int(100);
    if (roll < 10) {
      const int row = r.Int(n / 4) * 4;  // three of a row: collinear when flat
      v[0] = row, v[1] = row + 1 + r.Int(2), v[2] = row + 3;
    } else if (roll < 25) {
      v[0] = 0, v[1] = 1 + r.Int(n - 2), v[2] = v[1] + 1;  // a fan around position 0
    } else {
      v[0] = r.Int(n), v[1] = (v[0] + 1 + r.Int(5)) % n, v[2] = (v[0] + 4 + r.Int(3)) % n;
    }
    const int mi = obj.GetMatIndex(mats.Pick(r, wide));
    const uint32_t sm = groups[r.Int(sizeof groups / sizeof *groups)];
    int h[3], b[3];
    Point3 uv[3];
    for (int k = 0; k < 3; ++k) {
      uv[k] = r.Chance(75) ? Point3(coords[v[k] % 4], coords[(v[k] / 4) % 4], 0)
                           : Point3(coords[r.Int(4)], coords[r.Int(4)], 0);
      int m = mi;
      if (spoilSections && r.Chance(3)) m = obj.GetMatIndex(mats.Pick(r, wide));
      h[k] = obj.AddHV(sv[v[k]], uv[k], m, sm);
    }
    obj.AddTri(h[0], h[1], h[2], sm, r.Int(2), 2 * r.Int(2), 4 * r.Int(2));
    faces.push_back({{h[0], h[1], h[2]}, sm});
    if (r.Chance(25)) {
      for (int k = 0; k < 3; ++k) b[k] = obj.AddHV(sv[v[k]], uv[k], mi, sm | 0x80000000u);
      obj.AddTri(b[0], b[2], b[1], sm | 0x80000000u, 1, 4, 2);
      faces.push_back({{b[0], b[2], b[1]}, sm | 0x80000000u});
    }
  }
  // A wide fan: more than 50 triangles share one normal.
  if (r.Chance(20)) {
    const int c = obj.AddSV(Point3(9, 9, 9));
    const int mi = obj.GetMatIndex(mats.list[1]);
    const int hc = obj.AddHV(c, Point3(), mi, 1);
    for (int i = 0; i < 70; ++i) {
      const float a0 = 0.09f * float(i), a1 = 0.09f * float(i + 1);
      const int s0 = obj.AddSV(Point3(9 + std::cos(a0), 9 + std::sin(a0), 9.5f));
      const int s1 = obj.AddSV(Point3(9 + std::cos(a1), 9 + std::sin(a1), 9.5f));
      obj.AddTri(hc, obj.AddHV(s0, Point3(), mi, 1), obj.AddHV(s1, Point3(), mi, 1), 1, 0, 0, 0);
    }
  }
}

void ExpectSameWriters(SaveObj& fast, LitSaveObj& lit, int numHVs, int numTris) {
  for (int h = 0; h < numHVs; ++h)
    ASSERT_EQ(std::memcmp(&fast.mHVs[h].Normal, &lit.mHVs[h].Normal, sizeof(Point3)), 0) << "HV " << h;
  for (int t = 0; t < numTris; ++t)
    ASSERT_EQ(std::memcmp(&fast.mTris[t].Normal, &lit.mTris[t].Normal, sizeof(Point3)), 0) << "tri " << t;
}

TEST(SaveObjRandom, MatchesLiteralWriter) {
  ReportLog log;
  Materials mats;
  int written = 0, spoiled = 0, shared = 0;
  for (uint32_t seed = 1; seed <= 500; ++seed) {
    SCOPED_TRACE(seed);
    Rng r(seed);
    Obj obj(1e-5f);
    const bool spoil = seed % 5 == 0;
    BuildRandom(obj, r, mats, spoil, seed % 3 == 0);
    ASSERT_EQ(obj.RemoveUnused(nullptr), 1);
    SaveObj fast;
    LitSaveObj lit;
    const int i1 = fast.Init(&obj, nullptr), i2 = lit.Init(&obj, nullptr);
    ASSERT_EQ(i1, i2);
    ASSERT_EQ(i1, 1);
    ExpectSameWriters(fast, lit, obj.NumHVs, obj.NumTris);
    for (int h = 0; h < obj.NumHVs; ++h)
      for (int g = h + 1; g < obj.NumHVs && g < h + 8; ++g)
        shared += obj.HVs[g].SV == obj.HVs[h].SV && fast.mHVs[g].Normal == fast.mHVs[h].Normal;
    int r1 = 0, r2 = 0;
    const size_t reports = log.boxes.size();
    const std::string a = tarntest::Written([&](RecordWriter& out) { return fast.FWrite(out); }, &r1);
    const std::string b = tarntest::WrittenToFile([&](FILE* f) { return lit.FWrite(f); }, &r2);
    ASSERT_EQ(r1, r2);
    EXPECT_EQ(a, b);
    if (r1 == 1) {
      ++written;
      for (int h = 0; h < obj.NumHVs; ++h) EXPECT_EQ(fast.mHVs[h].LocalIndex, lit.mHVs[h].LocalIndex);
    } else {
      ++spoiled;
      ASSERT_EQ(log.boxes.size(), reports + 2);
      EXPECT_EQ(log.Condition(reports), log.Condition(reports + 1));
    }
    if (HasFailure()) break;
  }
  EXPECT_GT(written, 400);
  EXPECT_GT(spoiled, 20);
  EXPECT_GT(shared, 1000);
}

}  // namespace
