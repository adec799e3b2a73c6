#include "model/obj.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

#include "context/report.h"
#include "skin/bones.h"
#include "tests/model/literal_obj.h"
#include "tests/support/alloc.h"
#include "tests/support/reports.h"

namespace {

using tarntest::ReportLog;

constexpr float kTol = 1e-5f;

Mtl* Handle(uintptr_t n) {
  return reinterpret_cast<Mtl*>(n * 64);
}

uint32_t Bits(float f) {
  return std::bit_cast<uint32_t>(f);
}

TEST(ObjHash, WorkedValues) {
  const uint32_t one = 1, minus = 0xFFFFFFFFu, top = 0x80000000u, seq[3] = {1, 2, 3};
  EXPECT_EQ(MixHash(&one, 1), 0x00800001u);
  EXPECT_EQ(MixHash(&minus, 1), 0xFF800000u);
  EXPECT_EQ(MixHash(&top, 1), 0x7FC00000u);
  EXPECT_EQ(MixHash(seq, 3), 0u);  // linear: 1 ^ 2 ^ 3 == 0

  Obj obj(kTol);
  EXPECT_EQ(Bits(obj.Tolerance), 0x3727C5ACu);
  EXPECT_EQ(obj.GridScale, 25000.0f);

  const Point3 p(1.0f, 2.0f, 3.0f);
  const GridCell cell = CellOf(p, obj.GridScale, 0, 0, 0);
  EXPECT_EQ(cell, (GridCell{25000, 50000, 9464}));
  EXPECT_EQ(CellBucket(cell), 1603);
  const int probes[8] = {1628, 1619, 1603, 1612, 1619, 1628, 1612, 1603};
  for (int k = 0; k < 8; ++k) {
    const auto& o = kProbeOffsets[k];
    EXPECT_EQ(CellBucket(CellOf(p, obj.GridScale, o[0], o[1], o[2])), probes[k]) << k;
    EXPECT_EQ(CellBucket(CellOf(Point3(), obj.GridScale, o[0], o[1], o[2])), 0) << k;
  }
  const GridCell other = CellOf(Point3(-1.0f, 0.5f, 0.25f), obj.GridScale, 0, 0, 0);
  EXPECT_EQ(other, (GridCell{-25000, 12500, 6250}));
  EXPECT_EQ(CellBucket(other), 2365);

  // Wrapping keeps the sign: 65546 meets 10, but 65526 does not meet -10.
  EXPECT_EQ(CellCoord(65546.5f, 0.0), 10);
  EXPECT_EQ(CellCoord(-10.5f, 0.0), -11);
  EXPECT_EQ(CellCoord(-65546.0f, 0.0), -10);
  EXPECT_EQ(CellCoord(std::nanf(""), 0.0), INT32_MIN);

  EXPECT_EQ(HVBucket(0.5f, 0.25f, 0, 3, 1), 16386);
  EXPECT_NE(HVBucket(0.5f, 0.25f, 0, 3, 3), 16386);
  EXPECT_EQ(TriBucket(0, 1, 2, 1, 2, 0, 1), 1);
  EXPECT_EQ(TriBucket(1, 2, 0, 1, 2, 0, 1), 1);
}

TEST(ObjAddSV, GrowthAndWeldDistances) {
  Obj obj(kTol);
  for (int i = 0; i < 17; ++i) EXPECT_EQ(obj.AddSV(Point3(float(i), 0, 0)), i);
  EXPECT_EQ(obj.MaxSVs, 32);
  for (int i = 0; i < 17; ++i) EXPECT_EQ(obj.SVs[i].Pos, Point3(float(i), 0, 0));

  Obj w(kTol);
  const Point3 base(0.3f, 0.7f, -0.2f);
  EXPECT_EQ(w.AddSV(base), 0);
  EXPECT_EQ(w.AddSV(base + Point3(0.9f * kTol, 0, 0)), 0);
  EXPECT_EQ(w.AddSV(base + Point3(0, 0, -0.9f * kTol)), 0);
  EXPECT_EQ(w.AddSV(base + Point3(0, 1.1f * kTol, 0)), 1);
  EXPECT_EQ(w.AddSV(base), 0);
  EXPECT_EQ(w.SVs[0].Pos, base);  // welding never moves the first position

  // Not transitive: 1.6 tolerances from SV 0 is a new SV though 0.8 from the second point.
  Obj chain(kTol);
  EXPECT_EQ(chain.AddSV(Point3(0.5f, 0.5f, 0.5f)), 0);
  EXPECT_EQ(chain.AddSV(Point3(0.5f + 0.8f * kTol, 0.5f, 0.5f)), 0);
  EXPECT_EQ(chain.AddSV(Point3(0.5f + 1.6f * kTol, 0.5f, 0.5f)), 1);

  // Cells -1 and 0 on one axis: the probes look on both sides.
  Obj zero(kTol);
  EXPECT_EQ(zero.AddSV(Point3(-1e-6f, 0, 0)), 0);
  EXPECT_EQ(zero.AddSV(Point3(1e-6f, 0, 0)), 0);
}

TEST(ObjAddSV, WrappedCellsShareBucketsButNotSVs) {
  Obj obj(kTol);  // one cell is 4e-5 wide
  const Point3 a(10.5f * 4e-5f, 0.1f, 0.1f), b(65546.5f * 4e-5f, 0.1f, 0.1f);
  const int32_t ba = CellBucket(CellOf(a, obj.GridScale, 0, 0, 0));
  EXPECT_EQ(ba, CellBucket(CellOf(b, obj.GridScale, 0, 0, 0)));
  EXPECT_EQ(obj.AddSV(a), 0);
  EXPECT_EQ(obj.AddSV(b), 1);
  const Point3 c(-9.5f * 4e-5f, 0.1f, 0.1f), d(65526.5f * 4e-5f, 0.1f, 0.1f);
  EXPECT_EQ(CellOf(c, obj.GridScale, 0, 0, 0).x, -10);
  EXPECT_NE(CellBucket(CellOf(c, obj.GridScale, 0, 0, 0)), CellBucket(CellOf(d, obj.GridScale, 0, 0, 0)));
}

// Cells (a, a, c) all hash to the bucket of c alone, so the probe cells
// (a, a, c) and (a+1, a+1, c) share one chain, walked newest first.
TEST(ObjAddSV, ProbeBucketsSharedByTwoCellsAnswerNewestFirst) {
  for (bool xNewer : {true, false}) {
    Obj obj(0.25f);  // grid scale 1: one cell per unit
    LitObj lit(0.25f);
    // x and y are more than a tolerance apart, p within one of each.
    const Point3 x(20.1f, 20.1f, 7.5f), y(19.8f, 19.8f, 7.5f), p(19.95f, 19.95f, 7.5f);
    ASSERT_EQ(CellBucket(CellOf(x, 1, 0, 0, 0)), CellBucket(CellOf(y, 1, 0, 0, 0)));
    ASSERT_NE(CellOf(x, 1, 0, 0, 0), CellOf(y, 1, 0, 0, 0));
    for (const Point3& q : xNewer ? std::vector<Point3>{y, x} : std::vector<Point3>{x, y}) {
      obj.AddSV(q);
      lit.AddSV(q);
    }
    // y sits in the first probe cell, but the shared chain starts with the newer one.
    EXPECT_EQ(obj.AddSV(p), 1);
    EXPECT_EQ(lit.AddSV(p), 1);
  }
}

TEST(ObjMatLib, LookupAndCache) {
  Obj obj(kTol);
  EXPECT_EQ(obj.mMatLib.LastMat, NoMtl());
  EXPECT_EQ(obj.GetMatIndex(nullptr), 0);
  EXPECT_EQ(obj.mMatLib.NumMats, 1);
  EXPECT_EQ(obj.GetMatIndex(Handle(1)), 1);
  EXPECT_EQ(obj.mMatLib.LastMat, Handle(1));
  EXPECT_EQ(obj.mMatLib.LastIndex, 1);
  EXPECT_EQ(obj.GetMatIndex(nullptr), 0);
  EXPECT_EQ(obj.mMatLib.LastMat, nullptr);
  EXPECT_EQ(obj.mMatLib.LastIndex, 0);
  EXPECT_EQ(obj.GetMatIndex(Handle(2)), 2);
  EXPECT_EQ(obj.mMatLib.NumMats, 3);
  EXPECT_EQ(obj.mMatLib.Mats[0], nullptr);
  EXPECT_EQ(obj.mMatLib.Mats[2], Handle(2));
}

TEST(ObjAddHV, ReuseRules) {
  ReportLog log;
  Obj obj(kTol);
  for (int i = 0; i < 4; ++i) obj.AddSV(Point3(float(i), 0, 0));
  const Point3 uv(0.5f, 0.25f, 9.0f);
  const int h = obj.AddHV(3, uv, 0, 1);
  EXPECT_EQ(obj.AddHV(3, uv, 0, 1), h);
  EXPECT_EQ(obj.AddHV(3, Point3(0.5f, 0.25f, -1.0f), 0, 1), h);  // w is not part of the key
  EXPECT_NE(obj.AddHV(3, uv, 0, 1 | 0x80000000u), h);            // back side
  EXPECT_NE(obj.AddHV(3, uv, 0, 3), h);                          // other bucket: no looser test
  EXPECT_EQ(obj.HVs[h].SmoothGroups, 1u);
  const int flat = obj.AddHV(2, uv, 0, 0);
  EXPECT_NE(obj.AddHV(2, uv, 0, 0), flat);
  EXPECT_EQ(obj.HVs[h].TriRefCount, 0);

  // Words that differ only in bits 24-30 share the bucket: the stored HV gains the bits.
  ASSERT_EQ(HVBucket(0.5f, 0.25f, 0, 1, 1), HVBucket(0.5f, 0.25f, 0, 1, 1 | 1u << 24));
  const int g = obj.AddHV(1, uv, 0, 1);
  const int fresh = obj.NumHVs;
  EXPECT_EQ(obj.AddHV(1, uv, 0, 3 | 1u << 24), fresh) << "3 | 1<<24 lies elsewhere";
  EXPECT_EQ(obj.AddHV(1, uv, 0, 1 | 1u << 24), g);
  EXPECT_EQ(obj.HVs[g].SmoothGroups, 1u | 1u << 24);

  // -0.0 and +0.0 share the bucket and compare equal; the first sign stays.
  const int z = obj.AddHV(0, Point3(-0.0f, 0.5f, 0), 0, 4);
  EXPECT_EQ(obj.AddHV(0, Point3(0.0f, 0.5f, 0), 0, 4), z);
  EXPECT_EQ(Bits(obj.HVs[z].UV[0]), 0x80000000u);

  EXPECT_TRUE(log.boxes.empty());
  // Any index is allowed while the library is empty.
  EXPECT_GE(obj.AddHV(0, uv, 7, 1), 0);
  obj.GetMatIndex(nullptr);
  EXPECT_EQ(obj.AddHV(0, uv, 1, 1), -1);
  ASSERT_EQ(log.boxes.size(), 1u);
  EXPECT_EQ(log.boxes[0].caption, "Assert Failed!");
  EXPECT_EQ(log.Condition(0), "material < mMatLib.NumMats || mMatLib.NumMats == 0");
  EXPECT_EQ(log.boxes[0].text.find("\nmodel/obj.cpp: line "), log.Condition(0).size());
}

TEST(ObjAddTri, DegenerateDuplicateRotated) {
  Obj obj(kTol);
  for (int i = 0; i < 3; ++i) obj.AddSV(Point3(float(i), float(i * i), 0));
  const int a = obj.AddHV(0, Point3(), 0, 1), b = obj.AddHV(1, Point3(), 0, 1),
            c = obj.AddHV(2, Point3(), 0, 1);
  const int a2 = obj.AddHV(0, Point3(0.5f, 0, 0), 0, 1);  // same SV as a
  obj.AddTri(a, a, b, 1, 1, 2, 4);
  obj.AddTri(a, b, a2, 1, 1, 2, 4);
  EXPECT_EQ(obj.NumTris, 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(obj.SVs[i].TriRefCount, 0);

  obj.AddTri(a, b, c, 1, 1, 2, 0);
  obj.AddTri(a, b, c, 1, 1, 2, 0);
  obj.AddTri(a, b, c, 1, 2, 1, 0);                // same bucket: dropped though the flags differ
  obj.AddTri(a, b, c, 1 | 0x80000000u, 1, 2, 0);  // bit 31 alone keeps the bucket
  EXPECT_EQ(obj.NumTris, 1);
  EXPECT_EQ(obj.HVs[a].TriRefCount, 1);
  EXPECT_EQ(obj.SVs[2].TriRefCount, 1);
  obj.AddTri(b, c, a, 1, 1, 2, 0);  // a rotation is a triangle of its own
  EXPECT_EQ(obj.NumTris, 2);
  obj.AddTri(a, b, c, 1, 1, 0, 0);  // other bucket: stored again
  EXPECT_EQ(obj.NumTris, 3);
  EXPECT_EQ(obj.HVs[a].TriRefCount, 3);
  EXPECT_EQ(obj.SVs[0].TriRefCount, 3);
  EXPECT_EQ(obj.HVs[a2].TriRefCount, 0);
  EXPECT_EQ(obj.AddTri(a, b, 99, 1, 0, 0, 0), -1);  // never handed out
}

// Five HVs on five SVs; HVs 1 and 3 (and SV 4 of a loose vertex) unused.
struct Pentagon {
  Obj obj{kTol};
  int hv[5];
  Pentagon() {
    for (int i = 0; i < 6; ++i) obj.AddSV(Point3(float(i), float(i % 2), float(i / 3)));
    const int svOf[5] = {0, 1, 2, 5, 3};
    for (int i = 0; i < 5; ++i) hv[i] = obj.AddHV(svOf[i], Point3(), 0, 0);
    obj.AddTri(hv[0], hv[2], hv[4], 1, 1, 2, 4);
    obj.AddTri(hv[4], hv[2], hv[0], 2, 0, 0, 0);
  }
};

BoneVertex* MakeVertices(Bones& bones, int n) {
  bones.Vertices = new (std::nothrow) BoneVertex[n];
  bones.NumVertices = n;
  for (int i = 0; i < n; ++i)
    bones.Vertices[i].Refs =
        new (std::nothrow) BoneRef{i * 10, 0.5f, new (std::nothrow) BoneRef{i, 1.0f, nullptr}};
  return bones.Vertices;
}

TEST(ObjRemoveUnused, RenumbersWithAndWithoutSkin) {
  ReportLog log;
  {
    Pentagon p;
    EXPECT_EQ(p.obj.RemoveUnused(nullptr), 1);
    EXPECT_EQ(p.obj.NumHVs, 3);
    EXPECT_EQ(p.obj.NumSVs, 3);
    const int pts[2][3] = {{0, 1, 2}, {2, 1, 0}};
    for (int t = 0; t < 2; ++t)
      for (int k = 0; k < 3; ++k) EXPECT_EQ(p.obj.Tris[t].Pts[k], pts[t][k]);
    for (int h = 0; h < 3; ++h) EXPECT_EQ(p.obj.HVs[h].SV, h);
    EXPECT_EQ(p.obj.SVs[2].Pos, Point3(3, 1, 1));
    EXPECT_EQ(p.obj.HVs[2].TriRefCount, 2);
  }
  {
    Pentagon p;
    Bones bones(nullptr, nullptr);
    MakeVertices(bones, 6);
    EXPECT_EQ(p.obj.RemoveUnused(&bones), 1);
    EXPECT_EQ(bones.NumVertices, 3);
    const int kept[3] = {0, 2, 3};
    for (int i = 0; i < 3; ++i) {
      ASSERT_NE(bones.Vertices[i].Refs, nullptr);
      EXPECT_EQ(bones.Vertices[i].Refs->BoneID, kept[i] * 10);
      EXPECT_EQ(bones.Vertices[i].Refs->Next->BoneID, kept[i]);
    }
    for (int i = 3; i < 6; ++i) EXPECT_EQ(bones.Vertices[i].Refs, nullptr);
  }
  {
    // SV 0 of 3 removed: former 1 and 2 move to 0 and 1.
    Obj obj(kTol);
    for (int i = 0; i < 4; ++i) obj.AddSV(Point3(float(i), float(i * i), 0));
    obj.AddTri(obj.AddHV(1, Point3(), 0, 1), obj.AddHV(2, Point3(), 0, 1), obj.AddHV(3, Point3(), 0, 1), 1, 0,
               0, 0);
    Bones bones(nullptr, nullptr);
    MakeVertices(bones, 4);
    EXPECT_EQ(obj.RemoveUnused(&bones), 1);
    EXPECT_EQ(bones.NumVertices, 3);
    EXPECT_EQ(bones.Vertices[0].Refs->BoneID, 10);
    EXPECT_EQ(bones.Vertices[1].Refs->BoneID, 20);
  }
  {
    // Skin without entries: only the count follows the SVs.
    Pentagon p;
    Bones bones(nullptr, nullptr);
    bones.NumVertices = 6;
    EXPECT_EQ(p.obj.RemoveUnused(&bones), 1);
    EXPECT_EQ(bones.NumVertices, 3);
    EXPECT_EQ(p.obj.NumSVs, 3);
  }
  {
    Pentagon p;
    Bones bones(nullptr, nullptr);
    bones.NumVertices = 5;
    EXPECT_EQ(p.obj.RemoveUnused(&bones), 0);
    EXPECT_EQ(log.Conditions(), "bones->NumVertices == NumSVs");
    log.boxes.clear();
  }
  {
    Obj obj(kTol);
    obj.AddSV(Point3(1, 2, 3));
    obj.AddHV(0, Point3(), 0, 1);
    EXPECT_EQ(obj.RemoveUnused(nullptr), 1);
    EXPECT_EQ(obj.NumSVs + obj.NumHVs + obj.NumTris, 0);
    EXPECT_EQ(obj.AddSV(Point3()), -1);  // building is over
  }
  EXPECT_TRUE(log.boxes.empty());
}

TEST(ObjRemoveUnused, ChecksReportFirstFailureInElementOrder) {
  struct Case {
    const char* name;
    void (*spoil)(Obj&, Bones&);
    const char* condition;
  };
  const Case cases[] = {
      {"negative HV count", [](Obj& o, Bones&) { o.HVs[2].TriRefCount = -1; }, "HVs[hv].TriRefCount >= 0"},
      {"unused HV still named", [](Obj& o, Bones&) { o.HVs[0].TriRefCount = 0; }, "Tris[tri].Pts[pt] != hv"},
      {"named HV before negative one",
       [](Obj& o, Bones&) {
         o.HVs[0].TriRefCount = 0;
         o.HVs[1].TriRefCount = -5;
       },
       "Tris[tri].Pts[pt] != hv"},
      {"negative before named",
       [](Obj& o, Bones&) {
         o.HVs[1].TriRefCount = -5;
         o.HVs[2].TriRefCount = 0;
       },
       "HVs[hv].TriRefCount >= 0"},
      {"negative SV count", [](Obj& o, Bones&) { o.SVs[0].TriRefCount = -1; }, "SVs[sv].TriRefCount >= 0"},
      {"skin of another size", [](Obj&, Bones& b) { b.NumVertices = 5; }, "bones->NumVertices == NumSVs"},
      {"unused SV still named", [](Obj& o, Bones&) { o.SVs[1].TriRefCount = 0; }, "HVs[hv].SV != sv"},
      {"skin checked before the HV scan",
       [](Obj& o, Bones& b) {
         o.SVs[1].TriRefCount = 0;
         b.NumVertices = 5;
       },
       "bones->NumVertices == NumSVs"},
      {"named SV before negative",
       [](Obj& o, Bones&) {
         o.SVs[1].TriRefCount = 0;
         o.SVs[2].TriRefCount = -1;
       },
       "HVs[hv].SV != sv"},
  };
  for (const Case& c : cases) {
    ReportLog log;
    report::ExportStatus status;
    Obj obj(kTol);
    for (int i = 0; i < 4; ++i) obj.AddSV(Point3(float(i), float(i * i), 0));
    obj.AddTri(obj.AddHV(0, Point3(), 0, 1), obj.AddHV(1, Point3(), 0, 1), obj.AddHV(2, Point3(), 0, 1), 1, 0,
               0, 0);
    Bones bones(nullptr, nullptr);
    MakeVertices(bones, 4);
    c.spoil(obj, bones);
    EXPECT_EQ(obj.RemoveUnused(&bones), 0) << c.name;
    EXPECT_EQ(log.Conditions(), c.condition) << c.name;
    EXPECT_TRUE(status.Failed());
  }
}

TEST(ObjMemory, NoMemoryReportsNewArrAndAbandons) {
  // Count the allocations of a small build, then fail each one in turn.
  auto build = []() {
    Obj obj(kTol);
    for (int i = 0; i < 40; ++i) {
      int sv[3], hv[3];
      if (i % 2) {
        const Point3 p[3] = {Point3(float(i), 0, 0), Point3(float(i), 1, 0), Point3(float(i), 0, 1)};
        if (obj.AddSVs(p, 3, sv) < 0) return 0;
      } else {
        for (int k = 0; k < 3; ++k)
          if ((sv[k] = obj.AddSV(Point3(float(i), float(k == 1), float(k == 2)))) < 0) return 0;
      }
      const int m = obj.GetMatIndex(Handle(i % 3));
      if (m < 0) return 0;
      for (int k = 0; k < 3; ++k)
        if ((hv[k] = obj.AddHV(sv[k], Point3(), m, 1)) < 0) return 0;
      if (obj.AddTri(hv[0], hv[1], hv[2], 1, 1, 2, 4) < 0) return 0;
    }
    // A fan: one SV with many HVs and one corner starting many triangles,
    // so that the short lists move to their tables; then an HV of an SV to come.
    const int m = obj.GetMatIndex(Handle(0));
    const int center = obj.AddHV(0, Point3(), m, 1);
    if (center < 0) return 0;
    for (int i = 0; i < 24; ++i) {
      const int a = obj.AddHV(3, Point3(float(i), 0, 0), m, 1);
      if (a < 0) return 0;
      const int b = obj.AddHV(6, Point3(float(i), 0, 0), m, 1);
      if (b < 0 || obj.AddTri(center, a, b, 1, 0, 0, 0) < 0) return 0;
    }
    if (obj.AddHV(obj.NumSVs, Point3(), m, 1) < 0) return 0;
    return obj.RemoveUnused(nullptr);
  };
  long total = 0;
  {
    ReportLog log;
    tarntest::FailingAllocations counting(-1);
    EXPECT_EQ(build(), 1);
    total = counting.Count();
    EXPECT_TRUE(log.boxes.empty());
  }
  ASSERT_GT(total, 20);
  for (long n = 1; n <= total; ++n) {
    ReportLog log;
    tarntest::FailingAllocations failing(n);
    EXPECT_EQ(build(), 0) << n;
    EXPECT_EQ(log.Conditions(), "new_arr") << n;
  }
}

}  // namespace
