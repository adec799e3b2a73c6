#include "writer/saveobj.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "model/obj.h"
#include "skin/bones.h"
#include "tests/support/bytes.h"
#include "tests/support/host_doubles.h"
#include "tests/support/reports.h"
#include "tests/support/streams.h"
#include "tests/writer/literal_saveobj.h"

namespace {

using tarntest::Bytes;
using tarntest::ReportLog;

Point3 Unit(const Point3& p) {
  return p / Length(p);
}
Point3 FaceNormal(const Point3& a, const Point3& b, const Point3& c) {
  return Unit(CrossProd(b - a, c - a));
}

// A mesh made by listing faces: positions, then per face the material,
// smoothing word, edge flags and per corner (position, u, v).
struct Mesh {
  Obj obj{1e-5f};
  std::vector<int> sv;
  explicit Mesh(std::vector<Point3> pos) {
    for (const Point3& p : pos) sv.push_back(obj.AddSV(p));
  }
  struct Corner {
    int v;
    float u = 0, w = 0;
  };
  std::vector<int> Face(Mtl* mtl, uint32_t sg, Corner a, Corner b, Corner c, int flags = 0) {
    const int m = obj.GetMatIndex(mtl);
    std::vector<int> h;
    for (const Corner& k : {a, b, c}) h.push_back(obj.AddHV(sv[k.v], Point3(k.u, k.w, 0), m, sg));
    obj.AddTri(h[0], h[1], h[2], sg, flags & 1, flags & 2, flags & 4);
    return h;
  }
};

std::string Write(SaveObj& so, int* result) {
  return tarntest::Written([&](RecordWriter& out) { return so.FWrite(out); }, result);
}

Bytes Head(const std::vector<Point3>& pos, int numMats) {
  Bytes b;
  b.u8(8).u8(0).i32(static_cast<int32_t>(pos.size()));
  for (const Point3& p : pos) b.p3(p);
  return b.u8(0).i32(numMats);
}

TEST(SaveObjRecord, EmptyObjectWritesNothing) {
  Obj obj(1e-5f);
  obj.RemoveUnused(nullptr);
  SaveObj so;
  ASSERT_EQ(so.Init(&obj, nullptr), 1);
  int result = 9;
  EXPECT_EQ(Write(so, &result), "");
  EXPECT_EQ(result, 0);
}

TEST(SaveObjRecord, OneTriangleByteForByte) {
  const std::vector<Point3> pos = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  Mesh m(pos);
  m.Face(nullptr, 1, {0, 0, 0}, {1, 1, 0}, {2, 0, 1}, 1 | 4);
  ASSERT_EQ(m.obj.RemoveUnused(nullptr), 1);
  SaveObj so;
  ASSERT_EQ(so.Init(&m.obj, nullptr), 1);
  int result = 0;
  const std::string got = Write(so, &result);
  EXPECT_EQ(result, 1);
  Bytes want = Head(pos, 1);
  want.u8(0).i32(3);  // short header: no material
  const Point3 up(0, 0, 1);
  want.i32(0).f32(0).f32(0).p3(up).i32(1).f32(1).f32(0).p3(up).i32(2).f32(0).f32(1).p3(up);
  want.i32(1).u32(0x80000000u).u32(1).u32(0x80000002u).p3(up);
  EXPECT_EQ(got, want.str());
  for (int h = 0; h < 3; ++h) EXPECT_EQ(so.mHVs[h].LocalIndex, h);
}

TEST(SaveObjRecord, SectionsNumberTheirOwnVerticesAndEmptyOnesStay) {
  const std::vector<Point3> pos = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 1}};
  FakeStdMat a("A");
  FakeMtl other;
  FakeStdMat unused("U");
  Mesh m(pos);
  m.obj.GetMatIndex(&a);
  m.obj.GetMatIndex(&other);
  m.obj.GetMatIndex(&unused);
  // HVs interleave between the two sections: A gets 0, 2, 4 and the other 1, 3, 5.
  const int sa = 0, so_ = 1;
  int h[6];
  const int order[6][2] = {{sa, 0}, {so_, 0}, {sa, 1}, {so_, 2}, {sa, 2}, {so_, 3}};
  for (int i = 0; i < 6; ++i) h[i] = m.obj.AddHV(m.sv[order[i][1]], Point3(0.5f, 0.5f, 0), order[i][0], 2);
  m.obj.AddTri(h[0], h[2], h[4], 2, 0, 2, 0);
  m.obj.AddTri(h[1], h[3], h[5], 2, 1, 0, 4);
  ASSERT_EQ(m.obj.RemoveUnused(nullptr), 1);
  SaveObj so;
  ASSERT_EQ(so.Init(&m.obj, nullptr), 1);
  int result = 0;
  const std::string got = Write(so, &result);
  ASSERT_EQ(result, 1);

  // Positions 0 and 2 are shared by both faces with a common group, across the material border.
  const Point3 na = FaceNormal(pos[0], pos[1], pos[2]), nb = FaceNormal(pos[0], pos[2], pos[3]);
  const Point3 shared = Unit(na + nb);
  Bytes want = Head(pos, 3);
  want.u8(1).str("A").u8(1).u8(1).u8(0).f32(1);
  want.i32(3).i32(0).f32(0.5f).f32(0.5f).p3(shared).i32(1).f32(0.5f).f32(0.5f).p3(Unit(na));
  want.i32(2).f32(0.5f).f32(0.5f).p3(shared);
  want.i32(1).u32(0).u32(0x80000001u).u32(2).p3(na);
  want.u8(0).i32(3).i32(0).f32(0.5f).f32(0.5f).p3(shared).i32(2).f32(0.5f).f32(0.5f).p3(shared);
  want.i32(3).f32(0.5f).f32(0.5f).p3(Unit(nb));
  want.i32(1).u32(0x80000000u).u32(1).u32(0x80000002u).p3(nb);
  want.u8(1).str("U").u8(1).u8(1).u8(0).f32(1).i32(0).i32(0);
  EXPECT_EQ(got, want.str());
}

TEST(SaveObjRecord, SkinBlockSitsBetweenPositionsAndMaterials) {
  const std::vector<Point3> pos = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  Mesh m(pos);
  m.Face(nullptr, 1, {0}, {1}, {2});
  Bones bones(nullptr, nullptr);
  bones.Vertices = new (std::nothrow) BoneVertex[3];
  bones.NumVertices = 3;
  for (int i = 0; i < 3; ++i) bones.Vertices[i].Refs = new (std::nothrow) BoneRef{0, 1.0f, nullptr};
  ASSERT_EQ(m.obj.RemoveUnused(&bones), 1);
  int result = 0;
  const std::string block = tarntest::Written([&](RecordWriter& out) { return bones.Write(out); }, &result);
  ASSERT_EQ(result, 1);
  SaveObj plain, skinned;
  ASSERT_EQ(plain.Init(&m.obj, nullptr), 1);
  ASSERT_EQ(skinned.Init(&m.obj, &bones), 1);
  std::string want = Write(plain, &result);
  const size_t flag = 2 + 4 + 36;
  ASSERT_EQ(want[flag], 0);
  want[flag] = 1;
  want.insert(flag + 1, block);
  EXPECT_EQ(Write(skinned, &result), want);
  EXPECT_EQ(result, 1);
}

// The material header of a one-triangle object.
std::string Header(Mtl* mtl) {
  const std::vector<Point3> pos = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  Mesh m(pos);
  m.Face(mtl, 1, {0}, {1}, {2});
  m.obj.RemoveUnused(nullptr);
  SaveObj so;
  so.Init(&m.obj, nullptr);
  int result = 0;
  const std::string all = Write(so, &result);
  const size_t lead = 2 + 4 + 36 + 1 + 4, lists = 4 + 3 * 24 + 4 + 24;
  return all.substr(lead, all.size() - lead - lists);
}

TEST(SaveObjHeader, ShortAndLongForms) {
  FakeMtl multi;
  EXPECT_EQ(Header(nullptr), std::string(1, '\0'));
  EXPECT_EQ(Header(&multi), std::string(1, '\0'));

  FakeStdMat plain("Plain");
  EXPECT_EQ(Header(&plain), Bytes().u8(1).str("Plain").u8(1).u8(1).u8(0).f32(1).str());

  FakeBitmap brick("C:\\maps\\brick.tga"), env("/tex/env.png"), glow("glow.bmp");
  FakeStdMat full("wall_vr");
  full.maps[ID_DI] = &brick;
  full.maps[ID_RL] = &env;
  full.amounts[ID_RL] = 0.5f;
  full.maps[ID_SI] = &glow;
  full.amounts[ID_SI] = 0.25f;
  full.amounts[ID_DI] = 9.0f;  // no amount for the diffuse map
  full.transparency = TRANSP_FILTER;
  full.twoSided = 1;
  full.opacity = 0.75f;
  EXPECT_EQ(Header(&full), Bytes()
                               .str("brick.tga")
                               .str("wall_vr")
                               .str("env.png")
                               .f32(0.5f)
                               .str("glow.bmp")
                               .f32(0.25f)
                               .u8(1 | 4 | 8)
                               .f32(0.75f)
                               .str());
}

TEST(SaveObjHeader, FlagsByte) {
  // The flags byte is the fifth from the end of a long header.
  auto flags = [](FakeStdMat& m) {
    const std::string h = Header(&m);
    return static_cast<int>(static_cast<unsigned char>(h[h.size() - 5]));
  };
  FakeBitmap opaque("a.tga", ALPHA_NONE), alpha("b.tga", ALPHA_FILE);
  FakeStdMat m("m");
  m.transparency = TRANSP_FILTER;
  EXPECT_EQ(flags(m), 1);  // filter, no diffuse bitmap
  m.maps[ID_DI] = &alpha;
  EXPECT_EQ(flags(m), 1);
  m.maps[ID_DI] = &opaque;
  EXPECT_EQ(flags(m), 0);  // filter without any alpha
  m.transparency = TRANSP_ADDITIVE;
  EXPECT_EQ(flags(m), 2);
  m.transparency = TRANSP_SUBTRACTIVE;
  m.twoSided = 7;
  EXPECT_EQ(flags(m), 4);
  m.twoSided = 0;
  const std::pair<const char*, int> names[] = {{"VR", 0},      {"_VR", 8},  {"x_Vr", 8},
                                               {"door_vR", 8}, {"_VRx", 0}, {"-VR", 0}};
  for (const auto& [name, bit] : names) {
    m.name = name;
    EXPECT_EQ(flags(m), bit) << name;
  }
}

TEST(SaveObjHeader, MapsWithoutFileNameReadAsNoBitmap) {
  FakeBitmap empty(""), folderOnly("C:\\maps\\"), none("x");
  none.noName = true;
  FakeTexmap checker;
  FakeStdMat m("n");
  m.maps[ID_DI] = &empty;
  m.maps[ID_RL] = &folderOnly;
  m.amounts[ID_RL] = 0.5f;
  m.maps[ID_SI] = &none;
  EXPECT_EQ(Header(&m), Bytes().u8(1).str("n").u8(1).u8(1).u8(0).f32(1).str());
  m.maps[ID_DI] = &checker;
  m.noName = true;
  EXPECT_EQ(Header(&m), Bytes().u8(1).u8(0).u8(1).u8(1).u8(0).f32(1).str());
}

// Vertex normals: per-vertex values written, against face normals.
TEST(SaveObjNormals, FlatSmoothSeamsCancellingAndZeroArea) {
  const std::vector<Point3> pos = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 1}, {2, 0, 0}, {3, 0, 0}};
  {
    // Flat faces: each corner keeps its own face's normal.
    Mesh m(pos);
    auto a = m.Face(nullptr, 0, {0}, {1}, {2}), b = m.Face(nullptr, 0, {1}, {3}, {2});
    m.obj.RemoveUnused(nullptr);
    SaveObj so;
    ASSERT_EQ(so.Init(&m.obj, nullptr), 1);
    for (int h : a) EXPECT_EQ(so.mHVs[h].Normal, Unit(FaceNormal(pos[0], pos[1], pos[2])));
    for (int h : b) EXPECT_EQ(so.mHVs[h].Normal, Unit(FaceNormal(pos[1], pos[3], pos[2])));
  }
  {
    // A texture seam along the shared edge does not split the normal.
    Mesh m(pos);
    auto a = m.Face(nullptr, 1, {0}, {1, 0.5f}, {2, 0.5f}), b = m.Face(nullptr, 3, {1, 0.7f}, {3}, {2, 0.7f});
    m.obj.RemoveUnused(nullptr);
    SaveObj so;
    ASSERT_EQ(so.Init(&m.obj, nullptr), 1);
    const Point3 na = FaceNormal(pos[0], pos[1], pos[2]), nb = FaceNormal(pos[1], pos[3], pos[2]);
    EXPECT_EQ(so.mHVs[a[1]].Normal, Unit(na + nb));
    EXPECT_EQ(so.mHVs[b[0]].Normal, Unit(na + nb));
    EXPECT_EQ(so.mHVs[b[2]].Normal, Unit(na + nb));
    EXPECT_EQ(so.mHVs[a[0]].Normal, Unit(na));  // one face: its normal, normalised again
    EXPECT_EQ(so.mHVs[b[1]].Normal, Unit(nb));
  }
  {
    // Opposite windings on the same corners cancel: (0, 0, 1).
    Mesh m(pos);
    auto a = m.Face(nullptr, 1, {0}, {1}, {3});
    m.obj.AddTri(a[0], a[2], a[1], 1, 0, 0, 0);
    m.obj.RemoveUnused(nullptr);
    SaveObj so;
    ASSERT_EQ(so.Init(&m.obj, nullptr), 1);
    for (int h : a) EXPECT_EQ(so.mHVs[h].Normal, Point3(0, 0, 1));
  }
  {
    // Collinear corners: face normal (0, 0, 0), nothing added to the neighbour.
    Mesh m(pos);
    auto line = m.Face(nullptr, 1, {1}, {4}, {5});
    auto a = m.Face(nullptr, 1, {0}, {1}, {3});
    m.obj.RemoveUnused(nullptr);
    SaveObj so;
    ASSERT_EQ(so.Init(&m.obj, nullptr), 1);
    EXPECT_EQ(so.mTris[0].Normal, Point3(0, 0, 0));
    EXPECT_EQ(line[0], a[1]);  // one corner for both faces
    EXPECT_EQ(so.mHVs[a[1]].Normal, Unit(FaceNormal(pos[0], pos[1], pos[3])));
    EXPECT_EQ(so.mHVs[line[2]].Normal, Point3(0, 0, 1));  // nothing but a zero sum
  }
}

TEST(SaveObjNormals, UnusedVertexIsReported) {
  ReportLog log;
  Mesh m({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
  m.Face(nullptr, 1, {0}, {1}, {2});
  m.obj.AddHV(0, Point3(0.25f, 0, 0), 0, 0);  // left in place: RemoveUnused not run
  SaveObj so;
  EXPECT_EQ(so.Init(&m.obj, nullptr), 0);
  EXPECT_EQ(log.Conditions(), "0");
  EXPECT_NE(log.boxes[0].text.find("\nwriter/saveobj.cpp: line "), std::string::npos);
}

TEST(SaveObjWrite, CornerInAnotherSectionIsReportedAfterWhatWentBefore) {
  for (int bad : {1, 2}) {
    ReportLog log;
    FakeStdMat a("a"), b("b");
    Mesh m({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}});
    m.Face(&a, 1, {0}, {1}, {2}, 7);
    const int ma = m.obj.GetMatIndex(&a), mb = m.obj.GetMatIndex(&b);
    int h[3];
    for (int k = 0; k < 3; ++k) h[k] = m.obj.AddHV(m.sv[k + 1], Point3(), k == bad ? mb : ma, 2);
    m.obj.AddTri(h[0], h[1], h[2], 2, 0, 0, 0);
    m.obj.RemoveUnused(nullptr);
    SaveObj so;
    LitSaveObj lit;
    ASSERT_EQ(so.Init(&m.obj, nullptr), 1);
    ASSERT_EQ(lit.Init(&m.obj, nullptr), 1);
    int r1 = 0, r2 = 0;
    const std::string got = Write(so, &r1);
    const std::string want = tarntest::WrittenToFile([&](FILE* f) { return lit.FWrite(f); }, &r2);
    EXPECT_EQ(r1, -1);
    EXPECT_EQ(r2, -1);
    EXPECT_EQ(got, want);
    const std::string text = bad == 1 ? "mObj->HVs[t.Pts[1]].Mat == i" : "mObj->HVs[t.Pts[2]].Mat == i";
    EXPECT_EQ(log.Conditions(), text + ";" + text);  // ours, then the literal's
  }
}

TEST(SaveObjWrite, ShortWriteAtEveryOffsetKeepsTheBytesBefore) {
  FakeBitmap brick("maps/brick.tga"), env("env.png");
  FakeStdMat a("wall_VR");
  a.maps[ID_DI] = &brick;
  a.maps[ID_RL] = &env;
  FakeMtl other;
  Mesh m({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0.5f}});
  m.Face(&a, 1, {0}, {1}, {2}, 3);
  m.Face(&other, 1, {1}, {3}, {2}, 4);
  m.Face(nullptr, 0, {0}, {3}, {1}, 0);
  m.obj.RemoveUnused(nullptr);
  SaveObj so;
  ASSERT_EQ(so.Init(&m.obj, nullptr), 1);
  int result = 0;
  const std::string full = Write(so, &result);
  ASSERT_EQ(result, 1);
  ASSERT_GT(full.size(), 300u);
  for (size_t n = 0; n <= full.size(); ++n) {
    const std::string kept = tarntest::Written([&](RecordWriter& out) { return so.FWrite(out); }, &result, n);
    EXPECT_EQ(result, n == full.size() ? 1 : -1) << n;
    EXPECT_EQ(kept, full.substr(0, n)) << n;
  }
}

}  // namespace

namespace {

double Len(const Point3& p) {
  return std::sqrt(double(p.x) * p.x + double(p.y) * p.y + double(p.z) * p.z);
}

// Where float arithmetic overflows (a cross product beyond 3.4e38) or loses
// its precision (subnormal lengths), the normals come from double: unit, and
// what the float result would have been with exact arithmetic.
TEST(SaveObjNormals, ExtremeCoordinatesStillGiveUnitNormals) {
  // A cross product beyond 3.4e38, and a sliver whose squares underflow.
  const std::vector<std::vector<Point3>> meshes = {
      {{0, 0, 0}, {2e19f, 0, 0}, {0, 2e19f, 0}, {2e19f, 2e19f, 2e19f}},
      {{0, 0, 0}, {1, 0, 0}, {2, 3e-30f, 0}, {3, 4e-30f, 1e-30f}}};
  for (const auto& pos : meshes) {
    SCOPED_TRACE(pos[1].x);
    Mesh m(pos);
    m.Face(nullptr, 1, {0}, {1}, {2});
    m.Face(nullptr, 1, {1}, {3}, {2});
    m.obj.RemoveUnused(nullptr);
    SaveObj so;
    ASSERT_EQ(so.Init(&m.obj, nullptr), 1);
    EXPECT_EQ(so.mTris[0].Normal, Point3(0, 0, 1));
    for (int t = 0; t < 2; ++t) EXPECT_NEAR(Len(so.mTris[t].Normal), 1.0, 1e-6) << t;
    for (int h = 0; h < m.obj.NumHVs; ++h) EXPECT_NEAR(Len(so.mHVs[h].Normal), 1.0, 1e-6) << h;
  }
  // Ordinary coordinates keep the float result, bit for bit.
  Mesh m({{0, 0, 0}, {1, 0, 0}, {0.3f, 0.7f, 0.1f}});
  m.Face(nullptr, 1, {0}, {1}, {2});
  m.obj.RemoveUnused(nullptr);
  SaveObj so;
  ASSERT_EQ(so.Init(&m.obj, nullptr), 1);
  const Point3 n = CrossProd(Point3(1, 0, 0), Point3(0.3f, 0.7f, 0.1f));
  EXPECT_EQ(so.mTris[0].Normal, n / Length(n));
}

}  // namespace
