#include "skin/bones.h"

#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "plugin/driver.h"
#include "scene/scene.h"
#include "skin/notes.h"
#include "tests/support/alloc.h"
#include "tests/support/bytes.h"
#include "tests/support/reports.h"
#include "tests/support/streams.h"
#include "thm/reader.h"

namespace {

using scene::Node;
using scene::Scene;
using tarntest::Bytes;
using tarntest::FailingAllocations;
using tarntest::Hex;
using tarntest::Sink;
using Refs = std::vector<std::pair<int, float>>;

// ---- Expected bytes ---------------------------------------------------------

std::string I32(int32_t v) {
  return Bytes().i32(v).str();
}
std::string F32(float f) {
  return Bytes().f32(f).str();
}
std::string Mat(const Matrix3& m) {
  return Bytes().matrix(m).str();
}
float FloatAt(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int k = 3; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(b.at(at + k));
  return std::bit_cast<float>(v);
}

// ---- Reading a block back ---------------------------------------------------

struct BoneRecord {
  std::string name;
  std::string matrix;  // 48 bytes
  std::string extra;   // 12 bytes
  int32_t sibling, parent, child;
};

struct Block {
  std::vector<BoneRecord> bones;
  int32_t frames = 0;
  float rate = 0;
  std::vector<std::string> samples;  // 60 bytes each, frame-major
  std::vector<Refs> refs;
  std::vector<std::pair<std::string, int32_t>> notes;
  bool whole = false;  // read completely, nothing left over
};

std::string Matrix(const thm::Matrix43& m) {
  Bytes b;
  for (const thm::Vec3& r : m.rows) b.vec3(r.x, r.y, r.z);
  return b.str();
}
std::string Extra(const thm::Extra& e) {
  return Bytes().u32(e[0]).u32(e[1]).u32(e[2]).str();
}

// Reads a skin block with the .thm reader, wrapped in the smallest mesh record
// that can carry it: `num_vertices` positions, no materials, empty names.
Block Parse(const std::string& bytes, int num_vertices) {
  Bytes rec;
  rec.u8(8).u8(0).i32(num_vertices);
  for (int v = 0; v < num_vertices; ++v) rec.vec3(0, 0, 0);
  rec.u8(1).raw(bytes).i32(0).str("").str("");
  thm::ParseResult p = thm::Parse(rec);
  Block k;
  if (!p.ok() || p.file.records.size() != 1) return k;
  const thm::Skin& skin = *p.file.records[0].mesh()->skin;
  for (const thm::Bone& b : skin.bones)
    k.bones.push_back({b.name, Matrix(b.matrix), Extra(b.extra), b.sibling, b.parent, b.child});
  k.frames = skin.frame_count;
  k.rate = skin.frame_rate;
  for (const thm::BoneSample& x : skin.samples) k.samples.push_back(Matrix(x.matrix) + Extra(x.extra));
  for (const thm::VertexRefs& v : skin.vertex_refs) {
    Refs r;
    for (const thm::BoneRef& ref : v.refs) r.push_back({ref.bone, ref.weight});
    k.refs.push_back(r);
  }
  for (const thm::Note& n : skin.notes) k.notes.push_back({n.text, n.frame});
  k.whole = skin.end_mark == -14;
  return k;
}

// The skin block as Bones::Write leaves it in a file taking `limit` bytes.
std::string Written(Bones& b, int* result, size_t limit = SIZE_MAX) {
  return tarntest::Written([&](RecordWriter& out) { return b.Write(out); }, result, limit);
}

Refs ListOf(const BoneVertex& v) {
  Refs out;
  for (const BoneRef* r = v.Refs; r; r = r->Next) out.push_back({r->BoneID, r->Weight});
  return out;
}

void DropNotes() {
  int result = 0;
  tarntest::Written([](RecordWriter& out) { return WriteNotes(out); }, &result);
}

// ---- A skinned scene --------------------------------------------------------

// Logs every bone query and lets a test change the answer.
struct LoggingSkin final : Modifier {
  scene::SkinModifier* inner = nullptr;
  std::vector<std::pair<int32_t, int32_t>> queries;  // Time, Index
  std::function<void(BoneInfo&)> after;
  Class_ID ClassID() override { return SKIN_CLASSID; }
  int Command(uint32_t code, void* arg) override {
    int r = inner->Command(code, arg);
    if (code == SKIN_CMD_BONE) {
      auto* info = static_cast<BoneInfo*>(arg);
      queries.push_back({info->Time, info->Index});
      if (after) after(*info);
    }
    return r;
  }
};

struct Rig {
  Scene s;
  scene::SkinModifier& skin = s.Make<scene::SkinModifier>();
  LoggingSkin log;
  Node& mesh = s.AddNode("Body");

  Rig() {
    log.inner = &skin;
    mesh.SetObject(&s.Make<scene::MeshObject>());
    mesh.AddModifier(&log);
    s.Activate();
  }
  Node& Bone(const std::string& name, Node* parent = nullptr, std::array<float, 3> extra = {0, 0, 0}) {
    Node& n = s.AddNode(name, parent);
    skin.bones.push_back({&n, std::nullopt, extra});
    return n;
  }
  // Skin data for host vertices with these weight rows, welded as `lookup` says.
  std::unique_ptr<Bones> Build(std::vector<std::vector<float>> rows, std::vector<int> lookup, int num_svs) {
    skin.SetWeights(rows);
    std::unique_ptr<Bones> b(CreateBones(&mesh));
    if (b) {
      EXPECT_EQ(b->BuildRefs(num_svs, static_cast<int>(lookup.size()), lookup.data()), 1);
    }
    return b;
  }
  std::unique_ptr<Bones> OneVertexBone0() {
    return Build({std::vector<float>(skin.bones.size(), 0.0f)}, {0}, 1);
  }
};

class SkinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DropNotes();
    SetTicksPerFrame(160);
    SetAnimRange({0, 0});
  }
  std::string WriteBlock(Bones& b, int expect = 1) {
    int result = 0;
    const std::string bytes = Written(b, &result);
    EXPECT_EQ(result, expect);
    return bytes;
  }

  tarntest::ReportLog reports;
  std::vector<std::string> Conditions() {
    std::vector<std::string> out;
    for (auto& r : reports.boxes) {
      EXPECT_EQ(r.caption, "Assert Failed!");
      size_t nl = r.text.find('\n');
      EXPECT_EQ(r.text.substr(nl + 1, 21), "skin/bones.cpp: line ") << r.text;
      out.push_back(r.text.substr(0, nl));
    }
    return out;
  }
  using Texts = std::vector<std::string>;
};

// ---- Finding the skin modifier ----------------------------------------------

TEST_F(SkinTest, SkinModifierIsFoundByEitherClassIdOnTheTopObjectsStackOnly) {
  Scene s;
  auto& other = s.Make<scene::OtherModifier>(Class_ID(0x37e26e45, 0x543b6b2b));
  auto& skin = s.Make<scene::SkinModifier>();
  auto& alt = s.Make<scene::SkinModifier>();
  alt.classId = SKIN_CLASSID_ALT;
  auto* mesh = &s.Make<scene::MeshObject>();

  Node& plain = s.AddNode("Plain");  // not a derived object
  plain.SetObject(mesh);
  Node& empty = s.AddNode("Empty");
  Node& others = s.AddNode("Others");
  others.SetObject(mesh);
  others.AddModifier(&other);
  Node& two = s.AddNode("Two");
  two.SetObject(mesh);
  two.AddModifier(&other);
  two.AddModifier(&alt);
  two.AddModifier(&skin);
  Node& main = s.AddNode("Main");
  main.SetObject(mesh);
  main.AddModifier(&skin);

  EXPECT_EQ(FindSkinModifier(&plain), nullptr);
  EXPECT_EQ(FindSkinModifier(&empty), nullptr);
  EXPECT_EQ(FindSkinModifier(&others), nullptr);
  EXPECT_EQ(FindSkinModifier(&two), &alt);  // the lower index of two skins
  EXPECT_EQ(FindSkinModifier(&main), &skin);

  EXPECT_EQ(CreateBones(&plain), nullptr);
  std::unique_ptr<Bones> b(CreateBones(&main));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Modifier, &skin);
  EXPECT_EQ(b->Node, &main);
  EXPECT_FALSE(b->HasVertices());
  {
    report::ExportStatus status;
    FailingAllocations failing(1);
    EXPECT_EQ(CreateBones(&main), nullptr);  // no memory: exported without skin, silently
    EXPECT_TRUE(reports.boxes.empty());
    EXPECT_TRUE(status.Failed());
  }
}

// ---- Building references ----------------------------------------------------

TEST_F(SkinTest, ReferencesFollowTheWeightTableRowOfTheFirstHostVertexOfEachSV) {
  Rig rig;
  for (int b = 0; b < 5; ++b) rig.Bone(std::string(1, char('0' + b)));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::unique_ptr<Bones> b = rig.Build(
      {
          {0, 0, 0, 0, 0},                 // v0 -> SV0: all zero
          {0, 0.25f, 0, 0, 0.25f},         // v1 -> SV1
          {-0.0f, 0, -0.5f, nan, 0},       // v2 -> SV3
          {0, 0, 0, 0, 0},                 // v3 -> SV2, decides it although all zero
          {0.1f, 0.2f, 0.3f, 0.4f, 0.5f},  // v4 -> SV4
          {1e-45f, 0, 0, 0, 0},            // v5 -> SV5: no threshold
          {nan, nan, 0, 0, 0},             // v6 -> SV6
          {0.5f, 0.5f, 0, 0, 0},           // v7 -> SV2 as well: ignored
      },
      {0, 1, 3, 2, 4, 5, 6, 2}, 7);
  ASSERT_TRUE(b->HasVertices());
  EXPECT_EQ(b->NumBones, 5);
  EXPECT_EQ(b->NumVertices, 7);
  EXPECT_EQ(ListOf(b->Vertices[0]), (Refs{{0, 1.0f}}));
  EXPECT_EQ(ListOf(b->Vertices[1]), (Refs{{4, 0.25f}, {1, 0.25f}}));
  EXPECT_EQ(ListOf(b->Vertices[2]), (Refs{{0, 1.0f}}));
  EXPECT_EQ(ListOf(b->Vertices[3]), (Refs{{2, -0.5f}}));
  EXPECT_EQ(ListOf(b->Vertices[4]), (Refs{{4, 0.5f}, {3, 0.4f}, {2, 0.3f}, {1, 0.2f}, {0, 0.1f}}));
  EXPECT_EQ(ListOf(b->Vertices[5]), (Refs{{0, 1e-45f}}));
  EXPECT_EQ(ListOf(b->Vertices[6]), (Refs{{0, 1.0f}}));
  EXPECT_TRUE(reports.boxes.empty());
}

TEST_F(SkinTest, NoBonesNoTableAndVertexRemoval) {
  Rig rig;
  // nb 0: no reference could name a bone, so there is no skin to write.
  std::unique_ptr<Bones> none = rig.Build({{}, {}}, {0, 1}, 2);
  EXPECT_EQ(none->NumBones, 0);
  EXPECT_FALSE(none->HasVertices());
  EXPECT_EQ(none->NumVertices, 2);

  // No table: no entries, but the count keeps following the SVs.
  rig.skin.weights.reset();
  std::unique_ptr<Bones> bare(CreateBones(&rig.mesh));
  const int lookup[3] = {0, 1, 2};
  EXPECT_EQ(bare->BuildRefs(3, 3, lookup), 1);
  EXPECT_FALSE(bare->HasVertices());
  EXPECT_EQ(bare->NumVertices, 3);
  bare->RemoveVertex(0);
  bare->RemoveVertex(1);
  EXPECT_EQ(bare->NumVertices, 1);
  EXPECT_FALSE(bare->HasVertices());

  // Removing SV 0 of 3 shifts the others down and frees the last slot.
  rig.Bone("A");
  rig.Bone("B");
  rig.Bone("C");
  std::unique_ptr<Bones> b = rig.Build({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 1, 2}, 3);
  b->RemoveVertex(0);
  EXPECT_EQ(b->NumVertices, 2);
  EXPECT_EQ(ListOf(b->Vertices[0]), (Refs{{1, 1.0f}}));
  EXPECT_EQ(ListOf(b->Vertices[1]), (Refs{{2, 1.0f}}));
  EXPECT_EQ(b->Vertices[2].Refs, nullptr);
  b->RemoveVertex(1);
  EXPECT_EQ(b->NumVertices, 1);
  EXPECT_EQ(ListOf(b->Vertices[0]), (Refs{{1, 1.0f}}));
  EXPECT_EQ(b->Vertices[1].Refs, nullptr);
  EXPECT_TRUE(reports.boxes.empty());
}

TEST_F(SkinTest, InconsistentTablesAndArgumentsAreReportedWithoutReadingPastTheTable) {
  Rig rig;
  rig.Bone("A");
  const int lookup[4] = {0, 1, 2, 3};
  // fail_in: which allocation of BuildRefs fails (1 the first), 0 none.
  auto build = [&](int num_svs, int num_orig_vs, const int* lk, int fail_in = 0) {
    std::unique_ptr<Bones> b(CreateBones(&rig.mesh));
    FailingAllocations failing(fail_in > 0 ? fail_in : -1);
    return b->BuildRefs(num_svs, num_orig_vs, lk);
  };
  rig.skin.SetWeights({{1}, {1}, {1}});
  EXPECT_EQ(build(4, 4, lookup), 0);  // 3 rows for 4 host vertices
  EXPECT_EQ(build(0, 3, lookup), 0);
  EXPECT_EQ(build(-2, 3, lookup), 0);
  const int bad_high[3] = {0, 3, 1};
  const int bad_low[3] = {0, -1, 1};
  EXPECT_EQ(build(3, 3, bad_high), 0);
  EXPECT_EQ(build(3, 3, bad_low), 0);
  {
    std::unique_ptr<Bones> b(CreateBones(&rig.mesh));
    EXPECT_EQ(b->BuildRefs(3, 3, lookup), 1);
    EXPECT_EQ(b->BuildRefs(3, 3, lookup), 0);
  }
  // Counts that cannot describe a table: only the 8-byte header exists.
  rig.skin.rawTable = std::vector<uint32_t>{0xFFFFFFFFu, 4};
  EXPECT_EQ(build(4, 4, lookup), 0);
  rig.skin.rawTable = std::vector<uint32_t>{4, 0x80000000u};
  EXPECT_EQ(build(4, 4, lookup), 0);
  rig.skin.rawTable = std::vector<uint32_t>{0x40000000u, 4};  // 2^32 weights
  EXPECT_EQ(build(4, 4, lookup), 0);
  rig.skin.rawTable.reset();

  EXPECT_EQ(Conditions(),
            (Texts{"wa->nv == num_orig_vs", "num_svs", "num_svs", "lookup[i] >= 0 && lookup[i] < NumVertices",
                   "lookup[i] >= 0 && lookup[i] < NumVertices", "!Vertices", "wa->nb >= 0 && wa->nv >= 0",
                   "wa->nb >= 0 && wa->nv >= 0", "int64_t{wa->nv} * wa->nb <= INT32_MAX"}));

  // Memory: the entry array, then a reference.
  reports.boxes.clear();
  EXPECT_EQ(build(3, 3, lookup, 1), 0);
  EXPECT_EQ(build(3, 3, lookup, 2), 0);
  EXPECT_EQ(Conditions(), (Texts{"!\"Out of memory\"", "ref"}));
}

// ---- The skin block ---------------------------------------------------------

TEST_F(SkinTest, WorkedExampleIs164BytesByteForByte) {
  Rig rig;
  Node& b0 = rig.Bone("B0", nullptr, {1.5f, 0.0f, -2.0f});
  b0.transform = Matrix3({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {10, 20, 30});
  std::unique_ptr<Bones> b = rig.Build({{1.0f}}, {0}, 1);
  const unsigned char mat[48] = {
      0x00, 0x00, 0x80, 0x3F, 0,    0,    0,    0,    0,    0,    0,    0,     // row 0
      0,    0,    0,    0,    0x00, 0x00, 0x80, 0x3F, 0,    0,    0,    0,     // row 1
      0,    0,    0,    0,    0,    0,    0,    0,    0x00, 0x00, 0x80, 0x3F,  // row 2
      0x00, 0x00, 0x20, 0x41, 0x00, 0x00, 0xA0, 0x41, 0x00, 0x00, 0xF0, 0x41};
  const unsigned char extra[12] = {0x00, 0x00, 0xC0, 0x3F, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0xC0};
  std::string want = std::string(
      "\x01\x00\x00\x00"
      "B0\x00",
      7);
  want.append(reinterpret_cast<const char*>(mat), 48).append(reinterpret_cast<const char*>(extra), 12);
  want += std::string(12, '\xFF');
  want += std::string(
      "\x01\x00\x00\x00"
      "\x00\x00\xF0\x41",
      8);
  want.append(reinterpret_cast<const char*>(mat), 48).append(reinterpret_cast<const char*>(extra), 12);
  want += std::string(
      "\x00\x00\x00\x00"
      "\x00\x00\x80\x3F"
      "\xFF\xFF\xFF\xFF"
      "\xF2\xFF\xFF\xFF"
      "\x00",
      17);
  ASSERT_EQ(want.size(), 164u);
  EXPECT_EQ(Hex(WriteBlock(*b)), Hex(want));
  EXPECT_EQ(rig.log.queries, (std::vector<std::pair<int32_t, int32_t>>{{0, 0}, {0, 0}}));
  EXPECT_TRUE(reports.boxes.empty());
}

TEST_F(SkinTest, FramesAreSampledEveryFrameOverTheRangeAndTheSkeletonAtTickZero) {
  struct Case {
    int32_t start, end, tpf;
    int32_t frames;
    float rate;
  };
  const Case cases[] = {
      {0, 3200, 160, 21, 30.0f},
      {0, 100, 160, 1, 30.0f},
      {500, 500, 160, 1, 30.0f},
      {320, 0, 160, 0, 30.0f},   // end before start: no frames
      {0, -100, 160, 0, 30.0f},  // 32-bit formula would say 1
      {INT32_MAX - 200, INT32_MAX, 160, 2, 30.0f},
      {INT32_MIN, INT32_MAX, 1 << 20, 4096, 4800.0f / 1048576.0f},
      {0, 4799, 4800, 1, 1.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.start) + ".." + std::to_string(c.end) + " / " + std::to_string(c.tpf));
    Rig rig;
    Node& bone = rig.Bone("Arm", nullptr, {0.5f, 1.0f, 2.0f});
    // Slides along x, one unit per tick, from tick 0 to 3200.
    bone.keys = {{0, Matrix3()}, {3200, Matrix3({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {3200, 0, 0})}};
    rig.Bone("Hand", &bone);
    std::unique_ptr<Bones> b = rig.Build({{0, 1}}, {0}, 1);
    SetTicksPerFrame(c.tpf);
    SetAnimRange({c.start, c.end});
    std::string bytes = WriteBlock(*b);
    Block k = Parse(bytes, 1);
    ASSERT_TRUE(k.whole);
    EXPECT_EQ(k.frames, c.frames);
    EXPECT_EQ(k.rate, c.rate);
    ASSERT_EQ(k.samples.size(), 2u * static_cast<size_t>(c.frames));

    std::vector<std::pair<int32_t, int32_t>> want = {{0, 0}, {0, 1}};  // skeleton
    for (int64_t f = 0; f < c.frames; ++f) {
      const int32_t t = static_cast<int32_t>(c.start + f * c.tpf);
      want.push_back({t, 0});
      want.push_back({t, 1});
      EXPECT_EQ(k.samples[2 * f].substr(0, 48), Mat(bone.GetNodeTM(t)));
      EXPECT_EQ(k.samples[2 * f].substr(48), F32(0.5f) + F32(1.0f) + F32(2.0f));
    }
    EXPECT_EQ(rig.log.queries, want);
    EXPECT_EQ(k.bones[0].matrix, Mat(bone.GetNodeTM(0)));
    EXPECT_EQ(k.bones[1].matrix, Mat(rig.s.FindNodes("Hand")[0]->GetNodeTM(0)));
    if (c.tpf == 160 && c.end == 3200) {
      EXPECT_EQ(FloatAt(k.samples[2 * 7], 36), 1120.0f);  // frame 7: tick 1120
    }
    EXPECT_TRUE(reports.boxes.empty());
  }
}

TEST_F(SkinTest, KeysAtBothEndsOfTheTickRangeInterpolateAcrossIt) {
  Rig rig;
  Node& bone = rig.Bone("Long");
  bone.keys = {{INT32_MIN, Matrix3({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {-1000, 0, 0})},
               {INT32_MAX, Matrix3({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1000, 0, 0})}};
  std::unique_ptr<Bones> b = rig.Build({{1}}, {0}, 1);
  SetTicksPerFrame(1 << 30);
  SetAnimRange({INT32_MIN, INT32_MAX});
  Block k = Parse(WriteBlock(*b), 1);
  ASSERT_TRUE(k.whole);
  ASSERT_EQ(k.frames, 4);  // INT32_MIN, -2^30, 0, 2^30
  const float want[4] = {-1000.0f, -500.0f, 0.0f, 500.0f};
  for (int f = 0; f < 4; ++f) {
    EXPECT_NEAR(FloatAt(k.samples[static_cast<size_t>(f)], 36), want[f], 1e-3f) << f;
  }
}

TEST_F(SkinTest, BoneTreeIsRebuiltFromDirectParentNodes) {
  Rig rig;
  Node& top = rig.s.AddNode("Top");  // no bone
  Node& b0 = rig.Bone("B0", &top);
  rig.Bone("B1", &b0);
  rig.Bone("B2", &b0);
  Node& gap = rig.s.AddNode("Gap", &b0);  // no bone between B0 and B3
  rig.Bone("B3", &gap);
  rig.Bone("B4");  // a second root
  // A parent listed after its children, whose children come in index order.
  Node& p = rig.s.AddNode("P");
  Node& c1 = rig.s.AddNode("C1", &p);
  Node& c2 = rig.s.AddNode("C2", &p);
  rig.skin.bones.push_back({&c2, std::nullopt, {}});  // 5
  rig.skin.bones.push_back({&p, std::nullopt, {}});   // 6
  rig.skin.bones.push_back({&c1, std::nullopt, {}});  // 7
  std::unique_ptr<Bones> b = rig.Build({std::vector<float>(8, 0.0f)}, {0}, 1);
  Block k = Parse(WriteBlock(*b), 1);
  ASSERT_TRUE(k.whole);
  ASSERT_EQ(k.bones.size(), 8u);
  struct Links {
    int32_t sibling, parent, child;
    bool operator==(const Links&) const = default;
  };
  std::vector<Links> got;
  for (auto& r : k.bones) got.push_back({r.sibling, r.parent, r.child});
  EXPECT_EQ(got, (std::vector<Links>{{-1, -1, 1},
                                     {2, 0, -1},
                                     {-1, 0, -1},
                                     {-1, -1, -1},
                                     {-1, -1, -1},
                                     {7, 6, -1},
                                     {-1, -1, 5},
                                     {-1, 6, -1}}));
  EXPECT_EQ(k.bones[5].name, "C2");
}

TEST_F(SkinTest, MirroredBoneHasRowTwoNegatedAndNamesFillingTheFieldEndAtItsEnd) {
  Rig rig;
  Node& m = rig.Bone("Mirror");
  m.transform = Matrix3({-1, 0, 0}, {0, 2, 0}, {0, 0, 3}, {4, 5, 6});
  Node& n = rig.Bone("Normal");
  n.transform = Matrix3({1, 0, 0}, {0, 2, 0}, {0, 0, 3}, {4, 5, 6});
  rig.log.after = [](BoneInfo& info) {
    if (info.Index == 1) std::memset(info.Name, 'x', sizeof info.Name);
  };
  std::unique_ptr<Bones> b = rig.Build({{1, 0}}, {0}, 1);
  Block k = Parse(WriteBlock(*b), 1);
  ASSERT_TRUE(k.whole);
  const std::string mirrored = Mat(Matrix3({-1, 0, 0}, {0, 2, 0}, {-0.0f, -0.0f, -3}, {4, 5, 6}));
  EXPECT_EQ(k.bones[0].matrix, mirrored);
  EXPECT_EQ(k.samples[0].substr(0, 48), mirrored);
  EXPECT_EQ(k.bones[1].matrix, Mat(n.transform));
  EXPECT_EQ(k.bones[0].name, "Mirror");
  EXPECT_EQ(k.bones[1].name, std::string(256, 'x'));
}

TEST_F(SkinTest, VertexReferencesAndNotesCloseTheBlock) {
  Rig rig;
  for (int i = 0; i < 5; ++i) rig.Bone(std::string(1, char('0' + i)));
  std::unique_ptr<Bones> b = rig.Build({{0, 0.25f, 0, 0, 0.75f}, {0, 0, 0, 0, 0}}, {0, 1}, 2);
  AddNote(160, "second");
  AddNote(0, "first");
  std::string bytes = WriteBlock(*b);
  const std::string tail = I32(4) + F32(0.75f) + I32(1) + F32(0.25f) + I32(-1) + I32(0) + F32(1.0f) +
                           I32(-1) + I32(-14) + std::string("first\0", 6) + I32(0) +
                           std::string("second\0", 7) + I32(1) + std::string(1, '\0');
  ASSERT_GE(bytes.size(), tail.size());
  EXPECT_EQ(Hex(bytes.substr(bytes.size() - tail.size())), Hex(tail));
  EXPECT_EQ(NoteList, nullptr);

  // The list was emptied: the next block carries only what came since.
  AddNote(80, "later");
  Block k = Parse(WriteBlock(*b), 2);
  ASSERT_TRUE(k.whole);
  EXPECT_EQ(k.notes, (std::vector<std::pair<std::string, int32_t>>{{"later", 0}}));
  EXPECT_EQ(k.refs, (std::vector<Refs>{{{4, 0.75f}, {1, 0.25f}}, {{0, 1.0f}}}));

  // No bones: no skin at all (a reference to bone 0 of none would be read out of bounds).
  Rig bare;
  std::unique_ptr<Bones> nb = bare.Build({{}}, {0}, 1);
  EXPECT_FALSE(nb->HasVertices());
  EXPECT_TRUE(reports.boxes.empty());
}

TEST_F(SkinTest, AFailedWriteAtAnyByteEndsTheBlockWithMinusOne) {
  Rig rig;
  Node& root = rig.Bone("Root");
  rig.Bone("Tip", &root, {1, 2, 3});
  std::unique_ptr<Bones> b = rig.Build({{0.5f, 0.5f}, {0, 1}}, {0, 1}, 2);
  SetAnimRange({0, 160});
  AddNote(0, "hit");
  const std::string full = WriteBlock(*b);
  const size_t notes_at = full.size() - (4 + 4 + 1);  // "hit\0", frame, end zero
  ASSERT_TRUE(Parse(full, 2).whole);
  for (size_t n = 0; n < full.size(); ++n) {
    SCOPED_TRACE(n);
    DropNotes();
    AddNote(0, "hit");
    reports.boxes.clear();
    int result = 0;
    EXPECT_EQ(Written(*b, &result, n), full.substr(0, n));
    EXPECT_EQ(result, -1);
    EXPECT_EQ(Conditions(), n < notes_at ? Texts{} : Texts{"!\"Couldn't save remaining notes\""});
  }
  DropNotes();
  AddNote(0, "hit");
  int result = 0;
  EXPECT_EQ(Written(*b, &result, full.size()), full);
  EXPECT_EQ(result, 1);
}

TEST_F(SkinTest, BrokenSkinDataIsReportedAndEndsTheBlock) {
  Rig rig;
  rig.Bone("A");
  // SV 1 is reached by no host vertex: it has no reference.
  std::unique_ptr<Bones> b = rig.Build({{1}}, {0}, 2);
  WriteBlock(*b, -1);
  // A reference without a bone.
  std::unique_ptr<Bones> c = rig.Build({{1}}, {0}, 1);
  c->Vertices[0].Refs->BoneID = -1;
  WriteBlock(*c, -1);
  // A bone whose node the host does not know.
  rig.skin.bones[0].node = nullptr;
  WriteBlock(*c, -1);
  // No memory for the bone table: only the bone count is out.
  std::unique_ptr<Bones> d = rig.Build({{1}}, {0}, 1);
  {
    FailingAllocations failing(1);
    EXPECT_EQ(WriteBlock(*d, -1), I32(1));
  }
  EXPECT_EQ(Conditions(),
            (Texts{"Vertices[i].Refs && \"There must be at least one ref per vertex\"", "ref->BoneID != -1",
                   "node && \"Bone node not found\"", "!\"Out of memory\""}));
}

// ---- Whole exports -----------------------------------------------------------

struct ExportOut {
  int result;
  std::string bytes;
};

ExportOut Export(Scene& s, size_t limit = SIZE_MAX) {
  Sink sink;
  sink.limit = limit;
  int r = ExportToStream(sink.Open(), &s, &s);  // closes the stream
  return {r, sink.bytes};
}

thm::File Read(const std::string& bytes) {
  thm::ParseResult p = thm::Parse({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
  EXPECT_TRUE(p.ok()) << (p.error ? p.error->what : "");
  return p.file;
}

// One triangle, skinned to `bone` with weight 1.0 on every vertex.
Node& SkinnedTriangle(Scene& s, const std::string& name, Node& bone) {
  auto& tri = s.Make<scene::MeshObject>();
  tri.mesh.verts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  Face f;
  f.v[0] = 0, f.v[1] = 1, f.v[2] = 2;
  tri.mesh.faces = {f};
  auto& skin = s.Make<scene::SkinModifier>();
  skin.bones.push_back({&bone, std::nullopt, {}});
  skin.SetWeights({{1}, {1}, {1}});
  Node& n = s.AddNode(name);
  n.SetObject(&tri);
  n.AddModifier(&skin);
  return n;
}

void Cue(Scene& s, const std::string& name, std::vector<NoteKey> keys) {
  s.AddNode(name).AddNoteTrack().keys = std::move(keys);
}

class SkinExport : public SkinTest {
 protected:
  void SetUp() override { SkinTest::SetUp(); }
};

using NoteTexts = std::vector<std::pair<std::string, int32_t>>;
NoteTexts NotesOf(const thm::Record& r) {
  NoteTexts out;
  if (r.mesh() && r.mesh()->skin)
    for (auto& n : r.mesh()->skin->notes) out.push_back({n.text, n.frame});
  return out;
}

TEST_F(SkinExport, NotesGoOutWithTheNextSkinnedMeshAcrossNodesAndExports) {
  Scene s;
  s.animationRange = {0, 320};
  Node& bone = s.AddNode("Bone");
  bone.keys = {{0, Matrix3()}, {320, Matrix3({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 32})}};
  Cue(s, "Cue1", {{160, "step"}, {0, "start"}});
  SkinnedTriangle(s, "Skin1", bone);
  Cue(s, "Cue2", {{80, "mid"}});
  SkinnedTriangle(s, "Skin2", bone);
  Cue(s, "Cue3", {{320, "tail"}});
  ExportOut first = Export(s);
  ASSERT_EQ(first.result, 1);
  thm::File f = Read(first.bytes);
  ASSERT_EQ(f.records.size(), 2u);
  EXPECT_EQ(NotesOf(f.records[0]), (NoteTexts{{"start", 0}, {"step", 1}}));
  EXPECT_EQ(NotesOf(f.records[1]), (NoteTexts{{"mid", 0}}));
  const thm::Skin& skin = *f.records[0].mesh()->skin;
  ASSERT_EQ(skin.bones.size(), 1u);
  EXPECT_EQ(skin.bones[0].name, "Bone");
  EXPECT_EQ(skin.frame_count, 3);
  EXPECT_EQ(skin.sample(2, 0).matrix.rows[3].z, 32.0f);
  EXPECT_EQ(skin.sample(1, 0).matrix.rows[3].z, 16.0f);
  ASSERT_EQ(skin.vertex_refs.size(), 3u);
  for (auto& v : skin.vertex_refs) {
    ASSERT_EQ(v.refs.size(), 1u);
    EXPECT_EQ(v.refs[0].bone, 0);
    EXPECT_EQ(v.refs[0].weight, 1.0f);
  }
  EXPECT_TRUE(reports.boxes.empty());

  // The note left after the last skinned mesh waits for the next export's first
  // one, numbered from that export's start.
  Scene next;
  next.animationRange = {160, 480};
  Node& b2 = next.AddNode("Bone");
  SkinnedTriangle(next, "Again", b2);
  SkinnedTriangle(next, "More", b2);
  ExportOut second = Export(next);
  ASSERT_EQ(second.result, 1);
  thm::File g = Read(second.bytes);
  ASSERT_EQ(g.records.size(), 2u);
  EXPECT_EQ(NotesOf(g.records[0]), (NoteTexts{{"tail", 1}}));
  EXPECT_EQ(NotesOf(g.records[1]), NoteTexts{});
}

TEST_F(SkinExport, AFailedWriteAnywhereInASkinnedRecordFailsTheExport) {
  Scene s;
  s.animationRange = {0, 160};
  Node& bone = s.AddNode("Bone");
  Cue(s, "Cue", {{160, "go"}});
  SkinnedTriangle(s, "Skin", bone);
  DropNotes();
  ExportOut full = Export(s);
  ASSERT_EQ(full.result, 1);
  ASSERT_EQ(Read(full.bytes).records.size(), 1u);
  for (size_t n = 0; n < full.bytes.size(); ++n) {
    SCOPED_TRACE(n);
    DropNotes();
    ExportOut cut = Export(s, n);
    EXPECT_EQ(cut.result, 0);
    EXPECT_EQ(cut.bytes, full.bytes.substr(0, n));
  }
  DropNotes();
  ExportOut whole = Export(s, full.bytes.size());
  EXPECT_EQ(whole.result, 1);
  EXPECT_EQ(whole.bytes, full.bytes);
}

}  // namespace
