// Obj against the literal chain-walking model on meshes built to collide:
// wrapped and aliased weld cells, near-tolerance positions, keys sharing HV
// and triangle buckets, two-sided copies, seams, -0.0 and duplicates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#include "model/obj.h"
#include "skin/bones.h"
#include "tests/model/literal_obj.h"
#include "tests/support/reports.h"
#include "tests/support/rng.h"

namespace {

using tarntest::ReportLog;
using tarntest::Rng;

// Positions in grid units (one cell = 4 tolerances): cells that wrap onto each
// other (c, c + 65536), mirrored ones, and x == y cells, which all hash alike.
Point3 RandomPosition(Rng& r, float tol, const std::vector<Point3>& earlier) {
  const double cell = 4.0 * tol;
  if (!earlier.empty() && r.Chance(55)) {
    const Point3 base = earlier[r.Int(static_cast<int>(earlier.size()))];
    static const float steps[] = {0.0f, 0.5f, 0.8f, 0.9f, 1.0f, 1.1f, 1.6f, 2.5f, 4.0f};
    Point3 dir(float(r.Int(3) - 1), float(r.Int(3) - 1), float(r.Int(3) - 1));
    if (r.Chance(30)) dir = Point3(1, 0, 0);
    const float len = Length(dir);
    if (len == 0) return base;
    return base + dir * (r.Pick(steps) * tol / len);
  }
  static const double cells[] = {0, 1, 2, 10, 65546, -10, 65526, -65546, 131082, 7, -1, 65535, 65536};
  static const double fracs[] = {0.02, 0.1, 0.25, 0.5, 0.75, 0.9, 0.98};
  double c[3] = {r.Pick(cells), r.Pick(cells), r.Pick(cells)};
  if (r.Chance(40)) c[1] = c[0];
  if (r.Chance(20)) std::swap(c[0], c[2]);
  double f[3] = {r.Pick(fracs), r.Pick(fracs), r.Pick(fracs)};
  if (r.Chance(40)) f[1] = f[0];
  return Point3(float((c[0] + f[0]) * cell), float((c[1] + f[1]) * cell), float((c[2] + f[2]) * cell));
}

Mtl* Handle(int n) {
  return reinterpret_cast<Mtl*>(static_cast<uintptr_t>(n) * 64);
}

// Drives both models with the calls mesh extraction makes, plus repeats.
struct Twin {
  Obj fast;
  LitObj lit;
  std::vector<int> lookup;  // host vertex -> SV
  struct Face {
    int h[3];
    uint32_t sg;
  };
  std::vector<Face> faces;

  explicit Twin(float tol) : fast(tol), lit(tol) {}

  // How often the cases that only the chains decide came up.
  struct Seen {
    int welds = 0, otherCell = 0, notFirstProbeCell = 0, looseHV = 0, zeroSign = 0, flagDrop = 0;
  };
  static Seen seen;

  int AddSV(const Point3& p) {
    // What a walk of the probe cells alone, in probe order, would pick.
    int naive = -1;
    for (int k = 0; k < 8 && naive < 0; ++k) {
      const auto& o = kProbeOffsets[k];
      const GridCell c = CellOf(p, lit.GridScale, o[0], o[1], o[2]);
      for (int s = lit.NumSVs - 1; s >= 0 && naive < 0; --s)
        if (CellOf(lit.SVs[s].Pos, lit.GridScale, 0, 0, 0) == c &&
            Length(lit.SVs[s].Pos - p) <= lit.Tolerance)
          naive = s;
    }
    const int before = lit.NumSVs;
    int a = fast.AddSV(p), b = lit.AddSV(p);
    EXPECT_EQ(a, b);
    if (b < before) {
      ++seen.welds;
      seen.otherCell +=
          !(CellOf(lit.SVs[b].Pos, lit.GridScale, 0, 0, 0) == CellOf(p, lit.GridScale, 0, 0, 0));
      seen.notFirstProbeCell += naive != b;
    }
    return a;
  }
  int AddHV(int sv, const Point3& uv, int mat, uint32_t sg) {
    const int before = lit.NumHVs;
    int a = fast.AddHV(sv, uv, mat, sg);
    const LitHVert old = a >= 0 && a < before ? lit.HVs[a] : LitHVert{};
    int b = lit.AddHV(sv, uv, mat, sg);
    EXPECT_EQ(a, b);
    if (b >= 0 && b < before) {
      seen.looseHV += (old.SmoothGroups | sg) != old.SmoothGroups;  // another key's bits
      seen.zeroSign += std::memcmp(&old.UV, &uv, 8) != 0;
    }
    return a;
  }
  void AddTri(int a, int b, int c, uint32_t sg, int e0, int e1, int e2) {
    const int before = lit.NumTris;
    bool sameFlags = false, samePts = false;
    for (int t = 0; t < lit.NumTris; ++t) {
      const LitTri& o = lit.Tris[t];
      if (o.Pts[0] != a || o.Pts[1] != b || o.Pts[2] != c) continue;
      samePts = true;
      sameFlags |= o.SmoothGroups == sg && o.EdgeVis[0] == e0 && o.EdgeVis[1] == e1 && o.EdgeVis[2] == e2;
    }
    EXPECT_EQ(fast.AddTri(a, b, c, sg, e0, e1, e2), 0);
    lit.AddTri(a, b, c, sg, e0, e1, e2);
    seen.flagDrop += samePts && !sameFlags && lit.NumTris == before;
  }
};
Twin::Seen Twin::seen;

// strayPercent: how often an HV names the SV that the next AddSV will make.
void BuildRandom(Twin& t, Rng& r, float tol, int numVerts, int numFaces, int strayPercent = 0) {
  std::vector<Point3> pos;
  for (int i = 0; i < numVerts; ++i) {
    pos.push_back(RandomPosition(r, tol, pos));
    t.lookup.push_back(t.AddSV(pos.back()));
  }
  static const uint32_t groups[] = {
      0,           1,           1,           3,          2, 1u << 24, 1 | 1u << 24, 3 | 1u << 25,
      0x80000000u, 0x80000001u, 0x81000001u, 0x40000000u};
  static const float coords[] = {0.0f, -0.0f, 0.5f, 0.25f, 1.0f, 0.5f};
  for (int f = 0; f < numFaces; ++f) {
    const int roll = r.Int(100);
    if (roll < 8 && !t.faces.empty()) {
      // A repeat of a stored face: same order, rotated, or with other flags.
      const Twin::Face& old = t.faces[r.Int(static_cast<int>(t.faces.size()))];
      const int rot = r.Chance(50) ? 0 : 1 + r.Int(2);
      const uint32_t sg = r.Chance(50) ? old.sg : old.sg ^ (r.Chance(50) ? 0x80000000u : 2u);
      t.AddTri(old.h[rot], old.h[(rot + 1) % 3], old.h[(rot + 2) % 3], sg, r.Int(2), 2 * r.Int(2),
               4 * r.Int(2));
      continue;
    }
    if (roll < 11) {  // a late vertex, as nothing forbids
      if (r.Chance(strayPercent)) {
        Mtl* const mat = Handle(r.Int(4));
        const int mi = t.fast.GetMatIndex(mat);
        ASSERT_EQ(mi, t.lit.GetMatIndex(mat));
        // The coordinate the vertex's corners mostly get, so that they can match it.
        const int v = static_cast<int>(t.lookup.size());
        t.AddHV(r.Chance(10) ? -1 : t.lit.NumSVs, Point3(coords[v % 6], coords[(v / 6) % 6], 0), mi,
                r.Pick(groups));
      }
      pos.push_back(RandomPosition(r, tol, pos));
      t.lookup.push_back(t.AddSV(pos.back()));
    }
    const int n = static_cast<int>(t.lookup.size());
    const int v0 = r.Int(n);
    int v[3] = {v0, (v0 + 1 + r.Int(4)) % n, (v0 + n - 1 - r.Int(4)) % n};
    if (r.Chance(10)) v[2] = v[1];
    Mtl* const mat = Handle(r.Int(4));
    const int mi = t.fast.GetMatIndex(mat);
    ASSERT_EQ(mi, t.lit.GetMatIndex(mat));
    const uint32_t sm = r.Pick(groups);
    const bool twoSided = r.Chance(30);
    Point3 uv[3];
    int h[3], b[3];
    for (int k = 0; k < 3; ++k) {
      // Mostly one coordinate per vertex, with seams now and then.
      uv[k] = r.Chance(80) ? Point3(coords[v[k] % 6], coords[(v[k] / 6) % 6], 0)
                           : Point3(r.Pick(coords), r.Chance(3) ? std::nanf("") : r.Pick(coords), 0);
      h[k] = t.AddHV(t.lookup[v[k]], uv[k], mi, sm);
    }
    if (twoSided)
      for (int k = 0; k < 3; ++k) b[k] = t.AddHV(t.lookup[v[k]], uv[k], mi, sm | 0x80000000u);
    const int flags = r.Int(8);
    t.AddTri(h[0], h[1], h[2], sm, flags & 1, flags & 2, flags & 4);
    t.faces.push_back({{h[0], h[1], h[2]}, sm});
    if (twoSided) {
      t.AddTri(b[0], b[2], b[1], sm | 0x80000000u, flags & 1, flags & 4, flags & 2);
      t.faces.push_back({{b[0], b[2], b[1]}, sm | 0x80000000u});
    }
    if (r.Chance(5))
      t.AddHV(t.lookup[r.Int(n)], Point3(r.Pick(coords), r.Pick(coords), 0), mi, r.Pick(groups));
  }
}

// Buckets against mixing word by word, on random and colliding words.
TEST(ObjRandom, BucketsMatchWordByWordMixing) {
  Rng r(99);
  for (int i = 0; i < 200000; ++i) {
    uint32_t w[7] = {static_cast<uint32_t>(r.g())};
    for (int k = 1; k < 7; ++k) w[k] = r.Chance(20) ? w[0] : static_cast<uint32_t>(r.g()) >> r.Int(32);
    float u, v;
    std::memcpy(&u, &w[0], 4);
    std::memcpy(&v, &w[1], 4);
    ASSERT_EQ(static_cast<uint32_t>(HVBucket(u, v, int32_t(w[2]), int32_t(w[3]), w[4])),
              LitMixHash(w, 5) & 0x7FFF);
    ASSERT_EQ(static_cast<uint32_t>(TriBucket(int32_t(w[0]), int32_t(w[1]), int32_t(w[2]), int32_t(w[3]),
                                              int32_t(w[4]), int32_t(w[5]), w[6])),
              LitMixHash(w, 7) & 0x3FFF);
    const uint32_t cw[4] = {w[0], w[1], w[2], 0};
    ASSERT_EQ(static_cast<uint32_t>(CellBucket({int32_t(w[0]), int32_t(w[1]), int32_t(w[2])})),
              LitMixHash(cw, 4) & 0x3FFF);
    ASSERT_EQ(MixHash(w, 7), LitMixHash(w, 7));
  }
}

// Per axis cell against floor-then-fmod: random bit patterns (NaN, infinities,
// huge and tiny values), integers and half-integers, and values about 2^52.
TEST(ObjRandom, CellCoordMatchesFloorThenFmod) {
  Rng r(77);
  const double offsets[] = {-0.5, 0.0, 0.5};
  auto check = [&](float f) {
    for (double o : offsets) ASSERT_EQ(CellCoord(f, o), LitCellCoord(f, o)) << f << " " << o;
  };
  for (int i = 0; i < 2000000; ++i) {
    const uint32_t bits = static_cast<uint32_t>(r.g());
    float f;
    switch (i % 4) {
      case 0:
        std::memcpy(&f, &bits, 4);
        break;
      case 1:  // integers and halves, both signs, around the wrap
        f = static_cast<float>(static_cast<int32_t>(bits % 400000) - 200000) * 0.5f;
        break;
      case 2:  // one step either side of an integer or a half
        f = std::nextafter(static_cast<float>(static_cast<int32_t>(bits % 300000) - 150000) * 0.5f,
                           bits & 1 ? INFINITY : -INFINITY);
        break;
      default:  // magnitudes about 2^40 .. 2^63
        f = std::ldexp(1.0f + static_cast<float>(bits % 1024) / 1024.0f, 40 + static_cast<int>(bits % 24)) *
            (bits & 0x80000000u ? -1.0f : 1.0f);
        break;
    }
    check(f);
  }
  for (float f :
       {0x1p52f, -0x1p52f, std::nextafter(0x1p52f, 0.0f), std::nextafter(-0x1p52f, 0.0f), 0.0f, -0.0f,
        INFINITY, -INFINITY, std::nanf(""), 65535.5f, -65535.5f, 65536.0f, -65536.0f, 1e-45f, -1e-45f})
    check(f);
}

// Few positions and many faces, plus fans around one corner: SVs with more
// HVs and HVs starting more triangles than the short lists hold, and HVs
// naming SVs not made yet.
TEST(ObjRandom, CrowdedElementsMatchLiteralModel) {
  ReportLog log;
  int crowdedSVs = 0, crowdedHVs = 0;
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    SCOPED_TRACE(seed);
    Rng r(seed * 104729);
    const float tol = seed % 2 ? 0.25f : 1e-5f;
    Twin t(tol);
    BuildRandom(t, r, tol, 4 + r.Int(5), 300 + r.Int(900), seed % 3 == 0 ? 0 : 30);
    const int n = static_cast<int>(t.lookup.size());
    const int mi = t.fast.GetMatIndex(Handle(1));
    ASSERT_EQ(mi, t.lit.GetMatIndex(Handle(1)));
    for (int fan = 0; fan < 3; ++fan) {
      const uint32_t sg = 1u << fan;
      const int center = t.AddHV(t.lookup[r.Int(n)], Point3(0.5f, 0.5f, 0), mi, sg);
      std::vector<int> rim;
      // Words that differ only in bits 24-31 share a bucket: one group, several HVs.
      static const uint32_t rimGroups[] = {1u << 24, 1u << 25, 1, 1 | 1u << 24, 3u << 25, 1u << 26};
      for (int i = 0; i < 60; ++i) {
        const LitHVert& old = t.lit.HVs[r.Int(t.lit.NumHVs / 4 + 1)];
        if (r.Chance(50) && old.SV >= 0 && old.SV < t.lit.NumSVs && old.SmoothGroups) {
          // Ask again for an early HV's group, as the lists held it before they moved.
          const uint32_t ask = r.Chance(50) ? old.SmoothGroups | 1u << (24 + r.Int(3)) : r.Pick(rimGroups);
          t.AddHV(old.SV, Point3(old.UV[0], old.UV[1], 0), old.Mat, ask);
        }
        rim.push_back(
            t.AddHV(t.lookup[r.Int(n)], Point3(float(r.Int(4)) * 0.25f, 0.0f, 0), mi, r.Pick(rimGroups)));
      }
      for (int i = 0; i < 150; ++i) {
        const int b = rim[r.Int(60)], c = rim[r.Int(60)];
        const int e = r.Int(2);
        if (r.Chance(20))
          t.AddTri(b, c, center, sg, e, 0, 4);
        else
          t.AddTri(center, b, c, r.Chance(80) ? sg : sg ^ 2, e, 2 * r.Int(2), 0);
      }
    }
    ExpectSame(t.fast, t.lit);
    std::vector<int> perSV(t.lit.NumSVs), perHV(t.lit.NumHVs);
    for (int h = 0; h < t.lit.NumHVs; ++h)
      if (t.lit.HVs[h].SV >= 0 && t.lit.HVs[h].SV < t.lit.NumSVs && t.lit.HVs[h].SmoothGroups)
        ++perSV[t.lit.HVs[h].SV];
    for (int i = 0; i < t.lit.NumTris; ++i) ++perHV[t.lit.Tris[i].Pts[0]];
    crowdedSVs += static_cast<int>(std::count_if(perSV.begin(), perSV.end(), [](int k) { return k > 20; }));
    crowdedHVs += static_cast<int>(std::count_if(perHV.begin(), perHV.end(), [](int k) { return k > 20; }));
    ASSERT_EQ(t.fast.RemoveUnused(nullptr), t.lit.RemoveUnused(nullptr));
    ExpectSame(t.fast, t.lit);
    if (HasFailure()) break;
  }
  EXPECT_EQ(log.Conditions(), "");
  EXPECT_GT(crowdedSVs, 100);
  EXPECT_GT(crowdedHVs, 100);
}

// Enough positions that the weld filter and the cell table grow several
// times, with welds throughout.
TEST(ObjRandom, ManyPositionsMatchLiteralModel) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE(seed);
    Rng r(seed * 31337);
    const float tol = seed % 2 ? 1e-5f : 0.01f;
    Obj fast(tol);
    LitObj lit(tol);
    std::vector<Point3> pos;
    int welds = 0;
    // Half the seeds weld through the batch call, sized ahead or not.
    const bool batch = seed % 2 == 0;
    if (seed == 4) {
      ASSERT_EQ(fast.ReserveSVs(30000), 0);
    }
    std::vector<Point3> run;
    std::vector<int> expected;
    for (int i = 0; i < 30000; ++i) {
      Point3 p;
      if (!pos.empty() && r.Chance(30)) {
        static const float steps[] = {0.0f, 0.5f, 0.9f, 1.0f, 1.1f, 2.0f};
        p = pos[r.Int(static_cast<int>(pos.size()))] +
            Point3(r.Pick(steps) * tol, 0, r.Chance(50) ? 0.5f * tol : 0);
      } else {
        p = Point3(float(r.Int(2000000) - 1000000), float(r.Int(2000000) - 1000000),
                   float(r.Int(2000000) - 1000000)) *
            (tol * 0.37f);
      }
      pos.push_back(p);
      const int before = lit.NumSVs;
      const int b = lit.AddSV(p);
      welds += b < before;
      if (!batch) {
        ASSERT_EQ(fast.AddSV(p), b);
        continue;
      }
      run.push_back(p);
      expected.push_back(b);
      if (r.Chance(1) || i == 29999) {
        std::vector<int> got(run.size());
        ASSERT_EQ(fast.AddSVs(run.data(), static_cast<int32_t>(run.size()), got.data()), 0);
        ASSERT_EQ(got, expected);
        run.clear();
        expected.clear();
      }
    }
    EXPECT_GT(welds, 3000);
    ASSERT_EQ(fast.NumSVs, lit.NumSVs);
    EXPECT_EQ(fast.MaxSVs, lit.MaxSVs);
    for (int32_t i = 0; i < fast.NumSVs; ++i) ASSERT_TRUE(Same(fast.SVs[i], lit.SVs[i])) << "SV " << i;
  }
}

void FillSkin(Bones& b, int n) {
  b.Vertices = new (std::nothrow) BoneVertex[n];
  b.NumVertices = n;
  for (int i = 0; i < n; ++i) b.Vertices[i].Refs = new (std::nothrow) BoneRef{i, float(i) * 0.25f, nullptr};
}

std::vector<int> SkinIds(const Bones& b, int slots) {
  std::vector<int> ids;
  for (int i = 0; i < slots; ++i) {
    for (BoneRef* r = b.Vertices[i].Refs; r; r = r->Next) ids.push_back(r->BoneID);
    ids.push_back(-1);
  }
  ids.push_back(b.NumVertices);
  return ids;
}

TEST(ObjRandom, MatchesLiteralModel) {
  ReportLog log;
  for (uint32_t seed = 1; seed <= 400; ++seed) {
    SCOPED_TRACE(seed);
    Rng r(seed);
    const float tol = seed % 3 == 0 ? 1e-5f : (seed % 3 == 1 ? 0.25f : 0.01f);
    Twin t(tol);
    BuildRandom(t, r, tol, 4 + r.Int(60), r.Int(seed % 10 == 0 ? 400 : 90), seed % 4 == 0 ? 40 : 0);
    ExpectSame(t.fast, t.lit);

    const int slots = t.fast.NumSVs;
    const bool skin = seed % 2 == 0;
    Bones fb(nullptr, nullptr), lb(nullptr, nullptr);
    fb.NumVertices = lb.NumVertices = slots;
    if (skin) {
      FillSkin(fb, slots);
      FillSkin(lb, slots);
    }
    ASSERT_EQ(t.fast.RemoveUnused(&fb), t.lit.RemoveUnused(&lb));
    ExpectSame(t.fast, t.lit);
    if (skin) {
      EXPECT_EQ(SkinIds(fb, slots), SkinIds(lb, slots));
    }
    EXPECT_EQ(fb.NumVertices, t.fast.NumSVs);
    if (HasFailure()) break;
  }
  EXPECT_EQ(log.Conditions(), "");
  const Twin::Seen& seen = Twin::seen;
  EXPECT_GT(seen.welds, 1000);
  EXPECT_GT(seen.otherCell, 200);
  EXPECT_GT(seen.notFirstProbeCell, 25);
  EXPECT_GT(seen.looseHV, 50);
  EXPECT_GT(seen.zeroSign, 50);
  EXPECT_GT(seen.flagDrop, 25);
  std::printf(
      "welds %d, other cell %d, not first probe cell %d, looser HV merges %d, zero signs %d, flag drops %d\n",
      seen.welds, seen.otherCell, seen.notFirstProbeCell, seen.looseHV, seen.zeroSign, seen.flagDrop);
}

// Spoiled counts and references: the same first report as the literal compaction.
TEST(ObjRandom, SpoiledObjectsReportLikeLiteral) {
  ReportLog log;
  int reported = 0;
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE(seed);
    Rng r(seed * 7919);
    Twin t(0.25f);
    BuildRandom(t, r, 0.25f, 6 + r.Int(20), 10 + r.Int(30));
    const int spoils = 1 + r.Int(3);
    for (int i = 0; i < spoils; ++i) {
      const int what = r.Int(4);
      if (what == 0 && t.fast.NumHVs) {
        int h = r.Int(t.fast.NumHVs), v = r.Int(3) - 1;
        t.fast.HVs[h].TriRefCount = t.lit.HVs[h].TriRefCount = v;
      } else if (what == 1 && t.fast.NumSVs) {
        int s = r.Int(t.fast.NumSVs), v = r.Int(3) - 1;
        t.fast.SVs[s].TriRefCount = t.lit.SVs[s].TriRefCount = v;
      } else if (what == 2 && t.fast.NumTris) {
        int tri = r.Int(t.fast.NumTris), k = r.Int(3), v = r.Int(t.fast.NumHVs + 3) - 1;
        t.fast.Tris[tri].Pts[k] = t.lit.Tris[tri].Pts[k] = v;
      }
    }
    const int slots = t.fast.NumSVs;
    Bones fb(nullptr, nullptr), lb(nullptr, nullptr);
    FillSkin(fb, slots);
    FillSkin(lb, slots);
    if (r.Chance(25)) fb.NumVertices = lb.NumVertices = slots + 1;
    const size_t before = log.boxes.size();
    const int a = t.fast.RemoveUnused(&fb);
    const std::string fastReport = log.boxes.size() > before ? log.Condition(before) : "";
    const size_t mid = log.boxes.size();
    const int b = t.lit.RemoveUnused(&lb);
    const std::string litReport = log.boxes.size() > mid ? log.Condition(mid) : "";
    ASSERT_EQ(a, b);
    EXPECT_EQ(fastReport, litReport);
    if (a == 1) {
      ExpectSame(t.fast, t.lit);
      EXPECT_EQ(SkinIds(fb, slots), SkinIds(lb, slots));
    } else {
      ++reported;
      fb.NumVertices = lb.NumVertices = slots;  // keep the destructors in bounds
    }
    if (HasFailure()) break;
  }
  EXPECT_GT(reported, 100);
}

}  // namespace
