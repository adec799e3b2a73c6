// Mesh extraction: from a host node to a finished mesh record.
#include "plugin/extract.h"

#include <gtest/gtest.h>

#include <span>

#include "context/report.h"
#include "model/obj.h"
#include "plugin/driver.h"
#include "scene/scene.h"
#include "tests/support/bytes.h"
#include "tests/support/reports.h"
#include "tests/support/streams.h"
#include "thm/reader.h"

namespace {

using tarntest::Bytes;
using tarntest::IsReport;
using tarntest::Sink;

using scene::Node;
using scene::Scene;

// One triangle (or a quad) with texture coordinates, on a node named Box01.
struct Fixture {
  Scene s;
  scene::MeshObject& mesh = s.Make<scene::MeshObject>();
  Node* node = nullptr;

  explicit Fixture(bool textured = true, Node* parent = nullptr) {
    Mesh& m = mesh.mesh;
    m.verts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}};
    m.faces.resize(1);
    m.faces[0].v[0] = 0, m.faces[0].v[1] = 1, m.faces[0].v[2] = 2;
    m.faces[0].flags = 5;
    if (textured) {
      m.tVerts = {{0.25f, 0.125f, 0}, {0.75f, 0.5f, 0}, {0.5f, 1.0f, 0}};
      m.tvFace.resize(1);
      m.tvFace[0].t[0] = 0, m.tvFace[0].t[1] = 1, m.tvFace[0].t[2] = 2;
    }
    node = &s.AddNode("Box01", parent);
    node->SetObject(&mesh);
    s.Activate();
  }

  // BuildObj into `obj`; the result of BuildObj.
  int Build(Obj& obj) { return BuildObj(node, &mesh, &obj, nullptr); }

  thm::File Export() {
    Sink sink;
    EXPECT_EQ(ExportToStream(sink.Open(), &s, &s), 1);
    bytes = sink.bytes;
    return thm::Read(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  }
  std::string bytes;
};

const thm::MeshRecord& OnlyMesh(const thm::File& f) {
  EXPECT_EQ(f.records.size(), 1u);
  return *f.records.at(0).mesh();
}

TEST(ExtractTexCoords, WithoutTextureFacesEveryCornerIsZeroAndNoWarning) {
  Fixture fx(false);
  auto& other = fx.s.Make<scene::OtherMaterial>("Ink", Class_ID(0x1234, 0));
  fx.node->material = &other;
  tarntest::ReportLog reports;
  Obj obj(0.00001f);
  ASSERT_EQ(fx.Build(obj), 1);
  for (int i = 0; i < obj.NumHVs; ++i) EXPECT_EQ(obj.HVs[i].UV[0] + obj.HVs[i].UV[1], 0.0f);
  EXPECT_TRUE(reports.boxes.empty());
}

TEST(ExtractTexCoords, NonStandardMaterialWarnsOnceAfterTheFacesAndKeepsHostCoordinates) {
  Fixture fx;
  auto& other = fx.s.Make<scene::OtherMaterial>("Ink", Class_ID(0x1234, 0));
  fx.node->material = &other;
  tarntest::ReportLog reports;
  report::ExportStatus status;
  Obj obj(0.00001f);
  ASSERT_EQ(fx.Build(obj), 1);
  ASSERT_EQ(reports.boxes.size(), 1u);
  EXPECT_EQ(reports.boxes[0].caption, "Ink");
  EXPECT_EQ(reports.boxes[0].text, "This material is not a max standard material.\nBut I'll export anyway");
  EXPECT_EQ(reports.boxes[0].owner, nullptr);
  EXPECT_EQ(reports.boxes[0].type, MB_OK);
  EXPECT_EQ(obj.HVs[0].UV[0], 0.25f);
  EXPECT_EQ(obj.HVs[0].UV[1], 0.125f);  // not flipped
  EXPECT_FALSE(status.Failed());        // a warning, not a failure
}

TEST(ExtractTexCoords, DiffuseMapFlipsVThenCrops) {
  Fixture fx;
  auto& mat = fx.s.Make<scene::StdMaterial>("Brick");
  fx.node->material = &mat;
  Point3 t(0.75f, 0.5f, 0);
  EXPECT_EQ(MapTexCoord(t, &mat), Point3(0, 0, 0));  // no diffuse map
  auto& bmp = fx.s.Make<scene::BitmapMap>();
  mat.slots[ID_DI].map = &bmp;
  Point3 q = MapTexCoord(t, &mat);
  EXPECT_EQ(q.x, 0.75f);
  EXPECT_EQ(q.y, 0.5f);  // 1 - 0.5
  q = MapTexCoord({0.75f, 0.25f, 0}, &mat);
  EXPECT_EQ(q.y, 0.75f);
  bmp.SetCrop(0.5f, 0.25f, 0.5f, 0.5f);
  q = MapTexCoord({0.75f, 0.25f, 0}, &mat);
  EXPECT_EQ(q.x, 0.5f * 0.75f + 0.5f);
  EXPECT_EQ(q.y, 0.5f * 0.75f + 0.25f);
  // The texture-coordinate transform comes before the flip.
  bmp.SetCrop(0, 0, 1, 1);
  bmp.uvTransform = Matrix3({2, 0, 0}, {0, 2, 0}, {0, 0, 1}, {0.5f, 0, 0});
  q = MapTexCoord({0.25f, 0.25f, 0}, &mat);
  EXPECT_EQ(q.x, 1.0f);
  EXPECT_EQ(q.y, 0.5f);
  // Another map class: transform and flip, no crop.
  auto& other = fx.s.Make<scene::OtherMap>(Class_ID(0x1200, 0));
  mat.slots[ID_DI].map = &other;
  q = MapTexCoord({0.75f, 0.25f, 0}, &mat);
  EXPECT_EQ(q.x, 0.75f);
  EXPECT_EQ(q.y, 0.75f);
  EXPECT_EQ(MapTexCoord(t, nullptr), Point3(0, 0, 0));
}

TEST(ExtractFaces, MirroredNodeSwapsTheLastTwoCornersWithTheirEdges) {
  Fixture fx(false);
  fx.node->transform = Matrix3({-1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 0});
  Obj obj(0.00001f);
  ASSERT_EQ(fx.Build(obj), 1);
  ASSERT_EQ(obj.NumTris, 1);
  EXPECT_EQ(obj.Tris[0].Pts[0], 0);
  EXPECT_EQ(obj.Tris[0].Pts[1], 2);
  EXPECT_EQ(obj.Tris[0].Pts[2], 1);
  // flags 5: edge values 1, 0, 4 move with corners 0, 2, 1.
  EXPECT_EQ(obj.Tris[0].EdgeVis[0], 1);
  EXPECT_EQ(obj.Tris[0].EdgeVis[1], 4);
  EXPECT_EQ(obj.Tris[0].EdgeVis[2], 0);
}

TEST(ExtractFaces, TwoSidedFaceAddsABackCopyWithBit31AndReversedWinding) {
  for (bool mirrored : {false, true}) {
    Fixture fx(false);
    if (mirrored) fx.node->transform = Matrix3({1, 0, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 0});
    auto& mat = fx.s.Make<scene::StdMaterial>("Leaf");
    mat.twoSided = 1;
    fx.node->material = &mat;
    Obj obj(0.00001f);
    ASSERT_EQ(fx.Build(obj), 1);
    ASSERT_EQ(obj.NumHVs, 6);
    ASSERT_EQ(obj.NumTris, 2);
    const Tri &front = obj.Tris[0], &back = obj.Tris[1];
    EXPECT_EQ(front.SmoothGroups, 1u);
    EXPECT_EQ(back.SmoothGroups, 0x80000001u);
    for (int k = 3; k < 6; ++k) EXPECT_EQ(obj.HVs[k].SmoothGroups, 0x80000001u);
    if (!mirrored) {
      EXPECT_EQ((std::array{front.Pts[0], front.Pts[1], front.Pts[2]}), (std::array{0, 1, 2}));
      EXPECT_EQ((std::array{back.Pts[0], back.Pts[1], back.Pts[2]}), (std::array{3, 5, 4}));
      EXPECT_EQ((std::array{back.EdgeVis[0], back.EdgeVis[1], back.EdgeVis[2]}), (std::array{1, 4, 0}));
    } else {
      EXPECT_EQ((std::array{front.Pts[0], front.Pts[1], front.Pts[2]}), (std::array{0, 2, 1}));
      EXPECT_EQ((std::array{back.Pts[0], back.Pts[1], back.Pts[2]}), (std::array{3, 4, 5}));
    }
  }
}

TEST(ExtractFaces, SubMaterialIndexPastTheMultiMaterialGivesNoMaterial) {
  Fixture fx;
  auto& multi = fx.s.Make<scene::MultiMaterial>("Multi");
  for (int i = 0; i < 3; ++i) {
    auto& sub = fx.s.Make<scene::StdMaterial>("Sub" + std::to_string(i));
    sub.slots[ID_DI].map = &fx.s.Make<scene::BitmapMap>();
    multi.subs.push_back(&sub);
  }
  fx.node->material = &multi;
  fx.mesh.mesh.faces[0].matID = 5;
  Obj obj(0.00001f);
  ASSERT_EQ(fx.Build(obj), 1);
  ASSERT_EQ(obj.mMatLib.NumMats, 1);
  EXPECT_EQ(obj.mMatLib.Mats[0], nullptr);
  EXPECT_EQ(obj.HVs[0].UV[0], 0.0f);
  EXPECT_EQ(obj.HVs[0].UV[1], 0.0f);
  // Index 1 selects the second sub-material.
  fx.mesh.mesh.faces[0].matID = 1;
  Obj obj2(0.00001f);
  ASSERT_EQ(fx.Build(obj2), 1);
  EXPECT_EQ(obj2.mMatLib.Mats[0], multi.subs[1]);
}

TEST(ExtractPositions, WorldPositionScaledWithYAndZNegated) {
  Fixture fx(false);
  fx.mesh.mesh.verts[1] = {1, 2, 3};
  Obj obj(0.00001f);
  ASSERT_EQ(fx.Build(obj), 1);
  EXPECT_EQ(obj.SVs[1].Pos, Point3(1, -2, -3));

  fx.s.masterScale = 2.5;
  fx.node->transform = Matrix3({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {10, 0, 0});
  fx.node->objectOffset = Matrix3({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 1});
  fx.s.Activate();
  Obj scaled(0.00001f);
  ASSERT_EQ(fx.Build(scaled), 1);
  EXPECT_EQ(scaled.SVs[1].Pos, Point3(27.5f, -5.0f, -10.0f));
}

TEST(ExtractRecord, NamesFollowTheObjectRecord) {
  {
    Scene* s0;
    Fixture fx(false);
    s0 = &fx.s;
    Node& dummy = s0->AddNode("Dummy01");
    Node& box = s0->AddNode("Box01", &dummy);
    box.SetObject(&fx.mesh);
    fx.node->hidden = true;
    thm::File f = fx.Export();
    const auto& m = OnlyMesh(f);
    EXPECT_EQ(m.name, "Box01");
    EXPECT_EQ(m.parent, "Dummy01");
    EXPECT_EQ(fx.bytes.substr(fx.bytes.size() - 14), std::string("Box01\0Dummy01\0", 14));
  }
  Fixture top(false);
  top.Export();
  EXPECT_EQ(top.bytes.substr(top.bytes.size() - 7), std::string("Box01\0\0", 7));
}

TEST(ExtractRecord, UnnamedNodeAndParentWriteEmptyNames) {
  Fixture fx(false);
  fx.node->name.reset();
  fx.Export();
  EXPECT_EQ(fx.bytes.substr(fx.bytes.size() - 2), std::string("\0\0", 2));
}

TEST(ExtractRecord, MeshWithoutPositionsLeavesNoTrace) {
  Fixture fx(false);
  fx.mesh.mesh.verts.clear();
  fx.mesh.mesh.faces.clear();
  thm::File f = fx.Export();
  EXPECT_TRUE(f.records.empty());
  EXPECT_TRUE(fx.bytes.empty());
}

TEST(ExtractRecord, WholeRecordForATexturedTriangle) {
  Fixture fx;
  auto& mat = fx.s.Make<scene::StdMaterial>("Brick");
  auto& bmp = fx.s.Make<scene::BitmapMap>();
  bmp.fileName = "C:\\maps\\brick.tga";
  mat.slots[ID_DI].map = &bmp;
  fx.node->material = &mat;
  thm::File f = fx.Export();
  const auto& m = OnlyMesh(f);
  ASSERT_EQ(m.positions.size(), 3u);  // the fourth vertex is loose
  EXPECT_EQ(m.skin_flag, 0);
  ASSERT_EQ(m.materials.size(), 1u);
  EXPECT_EQ(m.materials[0].header.diffuse_map, "brick.tga");
  ASSERT_EQ(m.materials[0].vertices.size(), 3u);
  EXPECT_EQ(m.materials[0].vertices[1].u, 0.75f);
  EXPECT_EQ(m.materials[0].vertices[1].v, 0.5f);
  ASSERT_EQ(m.materials[0].triangles.size(), 1u);
  const thm::Triangle& t = m.materials[0].triangles[0];
  EXPECT_TRUE(t.edge(0));
  EXPECT_FALSE(t.edge(1));
  EXPECT_TRUE(t.edge(2));
  // Face (0,0,0),(1,0,0),(0,1,0) becomes (0,0,0),(1,0,0),(0,-1,0): its normal points down z.
  EXPECT_EQ(t.normal.z, -1.0f);
}

TEST(ExtractFailures, BadFaceIndicesAreReportedNeverRead) {
  {
    Fixture fx;
    fx.mesh.mesh.faces[0].v[2] = 4;
    tarntest::ReportLog reports;
    Obj obj(0.00001f);
    EXPECT_EQ(fx.Build(obj), 0);
    ASSERT_EQ(reports.boxes.size(), 1u);
    EXPECT_TRUE(IsReport(reports.boxes[0], "face.v[k] >= 0 && face.v[k] < num_verts", "plugin/DLLMain.cpp"));
  }
  {
    Fixture fx;
    fx.mesh.mesh.tvFace[0].t[1] = -1;
    tarntest::ReportLog reports;
    Obj obj(0.00001f);
    EXPECT_EQ(fx.Build(obj), 0);
    ASSERT_EQ(reports.boxes.size(), 1u);
    EXPECT_TRUE(IsReport(reports.boxes[0], "tf.t[k] >= 0 && tf.t[k] < num_tverts", "plugin/DLLMain.cpp"));
  }
  {
    Fixture fx;
    fx.mesh.mesh.faces.resize(2);  // one texture face for two faces
    tarntest::ReportLog reports;
    Sink sink;
    EXPECT_EQ(ExportToStream(sink.Open(), &fx.s, &fx.s), 0);
    ASSERT_EQ(reports.boxes.size(), 1u);
    EXPECT_TRUE(IsReport(reports.boxes[0], "num_tvfaces >= num_faces", "plugin/DLLMain.cpp"));
  }
}

TEST(ExtractFailures, ConversionThatYieldsNothingIsReported) {
  Fixture fx;
  fx.mesh.conversions.fail = true;
  tarntest::ReportLog reports;
  Sink sink;
  EXPECT_EQ(ExportToStream(sink.Open(), &fx.s, &fx.s), 0);
  ASSERT_EQ(reports.boxes.size(), 1u);
  EXPECT_TRUE(IsReport(reports.boxes[0],
                       "tobj && \"Couldn't convert node to a triobject even though it said it could\"",
                       "plugin/DLLMain.cpp"));
  EXPECT_TRUE(sink.bytes.empty());
}

TEST(ExtractFailures, EveryFailedWriteEndsTheExportWithItsReport) {
  Fixture reference;
  reference.Export();
  const std::string whole = reference.bytes;
  const size_t names = whole.size() - 7;  // "Box01\0" then the empty parent name
  for (size_t n = 0; n < whole.size(); ++n) {
    Fixture fx;
    tarntest::ReportLog reports;
    Sink sink;
    sink.limit = n;
    EXPECT_EQ(ExportToStream(sink.Open(), &fx.s, &fx.s), 0) << n;
    EXPECT_EQ(sink.bytes, whole.substr(0, n)) << n;
    ASSERT_EQ(reports.boxes.size(), 1u) << n;
    const char* expected = n < names       ? "!\"sobj->FWrite failed\""
                           : n < names + 6 ? "!\"Couldn't write node name\""
                                           : "!\"Couldn't write node parent name\"";
    EXPECT_TRUE(IsReport(reports.boxes[0], expected, "plugin/DLLMain.cpp")) << n << reports.boxes[0].text;
  }
}

}  // namespace
