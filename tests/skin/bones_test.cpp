#include "skin/bones.h"

#include <gtest/gtest.h>

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

#include "plugin/DLLMain.h"
#include "plugin/assert.h"
#include "scene/scene.h"
#include "skin/notes.h"
#include "thm/reader.h"

// Allocation failure on demand: the nth nothrow allocation from now returns null.
namespace {
int g_fail_in = -1;
bool FailThisAllocation() { return g_fail_in >= 0 && g_fail_in-- == 0; }
}  // namespace

void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  if (FailThisAllocation()) return nullptr;
  try {
    return ::operator new(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  if (FailThisAllocation()) return nullptr;
  try {
    return ::operator new[](n);
  } catch (...) {
    return nullptr;
  }
}

namespace {

using scene::Node;
using scene::Scene;
using Refs = std::vector<std::pair<int, float>>;

// ---- Streams ----------------------------------------------------------------

struct MemFile {
  char* buf = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  ~MemFile() {
    if (f) std::fclose(f);
    std::free(buf);
  }
  std::string Bytes() {
    if (f) std::fflush(f);
    return std::string(buf, len);
  }
  void ClosedElsewhere() { f = nullptr; }
};

// Accepts `limit` bytes, then fails every write; unbuffered, so each write reaches it.
struct LimitFile {
  std::string got;
  size_t limit;
  FILE* f;
  explicit LimitFile(size_t n) : limit(n) {
    cookie_io_functions_t io{};
    io.write = [](void* c, const char* b, size_t n) -> ssize_t {
      auto* self = static_cast<LimitFile*>(c);
      size_t take = std::min(n, self->limit - self->got.size());
      self->got.append(b, take);
      return static_cast<ssize_t>(take);
    };
    f = fopencookie(this, "wb", io);
    setvbuf(f, nullptr, _IONBF, 0);
  }
  ~LimitFile() {
    if (f) std::fclose(f);
  }
  void ClosedElsewhere() { f = nullptr; }
};

// ---- Expected bytes ---------------------------------------------------------

std::string I32(int32_t v) {
  std::string s(4, '\0');
  for (int k = 0; k < 4; ++k) s[k] = static_cast<char>(static_cast<uint32_t>(v) >> (8 * k));
  return s;
}
std::string F32(float f) {
  int32_t v;
  std::memcpy(&v, &f, 4);
  return I32(v);
}
std::string Mat(const Matrix3& m) {
  std::string s;
  for (int r = 0; r < 4; ++r)
    for (int k = 0; k < 3; ++k) s += F32(m.GetRow(r)[k]);
  return s;
}
std::string Hex(const std::string& b) {
  std::string out;
  char tmp[4];
  for (unsigned char c : b) {
    std::snprintf(tmp, sizeof tmp, "%02X ", c);
    out += tmp;
  }
  return out;
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
  bool whole = false;  // end mark and note block found, nothing left over
};

struct Cursor {
  const std::string& b;
  size_t at = 0;
  bool ok = true;
  std::string Take(size_t n) {
    if (at + n > b.size()) ok = false;
    if (!ok) return std::string(n, '\0');
    at += n;
    return b.substr(at - n, n);
  }
  int32_t Int() {
    std::string s = Take(4);
    uint32_t v = 0;
    for (int k = 3; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(s[k]);
    return static_cast<int32_t>(v);
  }
  float Float() {
    int32_t v = Int();
    float f;
    std::memcpy(&f, &v, 4);
    return f;
  }
  std::string Str() {
    size_t end = b.find('\0', at);
    if (end == std::string::npos) ok = false;
    if (!ok) return {};
    std::string s = b.substr(at, end - at);
    at = end + 1;
    return s;
  }
};

Block Parse(const std::string& bytes, int num_vertices) {
  Block k;
  Cursor c{bytes};
  int32_t nb = c.Int();
  for (int32_t i = 0; c.ok && i < nb; ++i) {
    BoneRecord r;
    r.name = c.Str();
    r.matrix = c.Take(48);
    r.extra = c.Take(12);
    r.sibling = c.Int();
    r.parent = c.Int();
    r.child = c.Int();
    k.bones.push_back(r);
  }
  k.frames = c.Int();
  k.rate = c.Float();
  for (int64_t i = 0; c.ok && i < int64_t{k.frames} * nb; ++i) k.samples.push_back(c.Take(60));
  for (int v = 0; c.ok && v < num_vertices; ++v) {
    Refs r;
    for (int32_t id = c.Int(); c.ok && id != -1; id = c.Int()) r.push_back({id, c.Float()});
    k.refs.push_back(r);
  }
  if (c.Int() != -14) return k;
  for (std::string text = c.Str(); c.ok && !text.empty(); text = c.Str()) k.notes.push_back({text, c.Int()});
  k.whole = c.ok && c.at == bytes.size();
  return k;
}

Refs ListOf(const BoneVertex& v) {
  Refs out;
  for (const BoneRef* r = v.Refs; r; r = r->Next) out.push_back({r->BoneID, r->Weight});
  return out;
}

void DropNotes() {
  MemFile sink;
  WriteNotes(sink.f);
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
    skin.bones.push_back({&n, "", extra});
    return n;
  }
  // Skin data for host vertices with these weight rows, welded as `lookup` says.
  std::unique_ptr<Bones> Build(std::vector<std::vector<float>> rows, std::vector<int> lookup, int num_svs) {
    skin.weights = std::move(rows);
    std::unique_ptr<Bones> b(CreateBones(&mesh));
    if (b) {
      EXPECT_EQ(b->BuildRefs(num_svs, static_cast<int>(lookup.size()), lookup.data()), 1);
    }
    return b;
  }
  std::unique_ptr<Bones> OneVertexBone0() { return Build({std::vector<float>(skin.bones.size(), 0.0f)}, {0}, 1); }
};

class SkinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DropNotes();
    SetTicksPerFrame(160);
    SetAnimRange({0, 0});
  }
  void TearDown() override { g_fail_in = -1; }

  std::string WriteBlock(Bones& b, int expect = 1) {
    MemFile out;
    EXPECT_EQ(b.Write(out.f), expect);
    return out.Bytes();
  }

  scene::ReportRecorder reports;
  std::vector<std::string> Conditions() {
    std::vector<std::string> out;
    for (auto& r : reports.records) {
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
  ResetExportFailure();
  g_fail_in = 0;
  EXPECT_EQ(CreateBones(&main), nullptr);  // no memory: exported without skin, silently
  EXPECT_TRUE(reports.records.empty());
  EXPECT_TRUE(ExportFailed());
  ResetExportFailure();
}

// ---- Building references ----------------------------------------------------

TEST_F(SkinTest, ReferencesFollowTheWeightTableRowOfTheFirstHostVertexOfEachSV) {
  Rig rig;
  for (int b = 0; b < 5; ++b) rig.Bone(std::string(1, char('0' + b)));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::unique_ptr<Bones> b = rig.Build(
      {
          {0, 0, 0, 0, 0},               // v0 -> SV0: all zero
          {0, 0.25f, 0, 0, 0.25f},       // v1 -> SV1
          {-0.0f, 0, -0.5f, nan, 0},     // v2 -> SV3
          {0, 0, 0, 0, 0},               // v3 -> SV2, decides it although all zero
          {0.1f, 0.2f, 0.3f, 0.4f, 0.5f},  // v4 -> SV4
          {1e-45f, 0, 0, 0, 0},          // v5 -> SV5: no threshold
          {nan, nan, 0, 0, 0},           // v6 -> SV6
          {0.5f, 0.5f, 0, 0, 0},         // v7 -> SV2 as well: ignored
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
  EXPECT_TRUE(reports.records.empty());
}

TEST_F(SkinTest, NoBonesNoTableAndVertexRemoval) {
  Rig rig;
  // nb 0: every SV gets the default reference.
  std::unique_ptr<Bones> none = rig.Build({{}, {}}, {0, 1}, 2);
  EXPECT_EQ(none->NumBones, 0);
  EXPECT_EQ(ListOf(none->Vertices[0]), (Refs{{0, 1.0f}}));
  EXPECT_EQ(ListOf(none->Vertices[1]), (Refs{{0, 1.0f}}));

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
  EXPECT_TRUE(reports.records.empty());
}

TEST_F(SkinTest, InconsistentTablesAndArgumentsAreReportedWithoutReadingPastTheTable) {
  Rig rig;
  rig.Bone("A");
  const int lookup[4] = {0, 1, 2, 3};
  auto build = [&](int num_svs, int num_orig_vs, const int* lk, int fail_in = -1) {
    std::unique_ptr<Bones> b(CreateBones(&rig.mesh));
    g_fail_in = fail_in;
    return b->BuildRefs(num_svs, num_orig_vs, lk);
  };
  rig.skin.weights = std::vector<std::vector<float>>{{1}, {1}, {1}};
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

  EXPECT_EQ(Conditions(), (Texts{"wa->nv == num_orig_vs", "num_svs", "num_svs",
                                 "lookup[i] >= 0 && lookup[i] < NumVertices",
                                 "lookup[i] >= 0 && lookup[i] < NumVertices", "!Vertices",
                                 "wa->nb >= 0 && wa->nv >= 0", "wa->nb >= 0 && wa->nv >= 0",
                                 "int64_t{wa->nv} * wa->nb <= INT32_MAX"}));

  // Memory: the entry array, then a reference.
  reports.records.clear();
  EXPECT_EQ(build(3, 3, lookup, 0), 0);
  EXPECT_EQ(build(3, 3, lookup, 1), 0);
  EXPECT_EQ(Conditions(), (Texts{"!\"Out of memory\"", "ref"}));
}

// ---- The skin block ---------------------------------------------------------

TEST_F(SkinTest, WorkedExampleIs164BytesByteForByte) {
  Rig rig;
  Node& b0 = rig.Bone("B0", nullptr, {1.5f, 0.0f, -2.0f});
  b0.transform = Matrix3({1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {10, 20, 30});
  std::unique_ptr<Bones> b = rig.Build({{1.0f}}, {0}, 1);
  const unsigned char mat[48] = {0x00, 0x00, 0x80, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0,           // row 0
                                 0, 0, 0, 0, 0x00, 0x00, 0x80, 0x3F, 0, 0, 0, 0,           // row 1
                                 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x80, 0x3F,           // row 2
                                 0x00, 0x00, 0x20, 0x41, 0x00, 0x00, 0xA0, 0x41, 0x00, 0x00, 0xF0, 0x41};
  const unsigned char extra[12] = {0x00, 0x00, 0xC0, 0x3F, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0xC0};
  std::string want = std::string("\x01\x00\x00\x00" "B0\x00", 7);
  want.append(reinterpret_cast<const char*>(mat), 48).append(reinterpret_cast<const char*>(extra), 12);
  want += std::string(12, '\xFF');
  want += std::string("\x01\x00\x00\x00" "\x00\x00\xF0\x41", 8);
  want.append(reinterpret_cast<const char*>(mat), 48).append(reinterpret_cast<const char*>(extra), 12);
  want += std::string("\x00\x00\x00\x00" "\x00\x00\x80\x3F" "\xFF\xFF\xFF\xFF" "\xF2\xFF\xFF\xFF" "\x00", 17);
  ASSERT_EQ(want.size(), 164u);
  EXPECT_EQ(Hex(WriteBlock(*b)), Hex(want));
  EXPECT_EQ(rig.log.queries, (std::vector<std::pair<int32_t, int32_t>>{{0, 0}, {0, 0}}));
  EXPECT_TRUE(reports.records.empty());
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
      Cursor m{k.samples[2 * 7]};  // frame 7: tick 1120
      m.Take(36);
      EXPECT_EQ(m.Float(), 1120.0f);
    }
    EXPECT_TRUE(reports.records.empty());
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
    Cursor m{k.samples[static_cast<size_t>(f)]};
    m.Take(36);
    EXPECT_NEAR(m.Float(), want[f], 1e-3f) << f;
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
  rig.skin.bones.push_back({&c2, "", {}});  // 5
  rig.skin.bones.push_back({&p, "", {}});   // 6
  rig.skin.bones.push_back({&c1, "", {}});  // 7
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
  const std::string tail = I32(4) + F32(0.75f) + I32(1) + F32(0.25f) + I32(-1) + I32(0) + F32(1.0f) + I32(-1) +
                           I32(-14) + std::string("first\0", 6) + I32(0) + std::string("second\0", 7) + I32(1) +
                           std::string(1, '\0');
  ASSERT_GE(bytes.size(), tail.size());
  EXPECT_EQ(Hex(bytes.substr(bytes.size() - tail.size())), Hex(tail));
  EXPECT_EQ(NoteList, nullptr);

  // The list was emptied: the next block carries only what came since.
  AddNote(80, "later");
  Block k = Parse(WriteBlock(*b), 2);
  ASSERT_TRUE(k.whole);
  EXPECT_EQ(k.notes, (std::vector<std::pair<std::string, int32_t>>{{"later", 0}}));
  EXPECT_EQ(k.refs, (std::vector<Refs>{{{4, 0.75f}, {1, 0.25f}}, {{0, 1.0f}}}));

  // No bones: the skeleton and every frame are empty; references still follow.
  Rig bare;
  std::unique_ptr<Bones> nb = bare.Build({{}}, {0}, 1);
  SetAnimRange({0, 320});
  EXPECT_EQ(Hex(WriteBlock(*nb)), Hex(I32(0) + I32(3) + F32(30.0f) + I32(0) + F32(1.0f) + I32(-1) + I32(-14) +
                                        std::string(1, '\0')));
  EXPECT_TRUE(reports.records.empty());
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
    reports.records.clear();
    LimitFile out(n);
    EXPECT_EQ(b->Write(out.f), -1);
    EXPECT_EQ(out.got, full.substr(0, n));
    EXPECT_EQ(Conditions(), n < notes_at ? Texts{} : Texts{"!\"Couldn't save remaining notes\""});
  }
  DropNotes();
  AddNote(0, "hit");
  LimitFile whole(full.size());
  EXPECT_EQ(b->Write(whole.f), 1);
  EXPECT_EQ(whole.got, full);
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
  g_fail_in = 0;
  EXPECT_EQ(WriteBlock(*d, -1), I32(1));
  EXPECT_EQ(Conditions(), (Texts{"Vertices[i].Refs && \"There must be at least one ref per vertex\"",
                                 "ref->BoneID != -1", "node && \"Bone node not found\"", "!\"Out of memory\""}));
}

// ---- Whole exports -----------------------------------------------------------

struct ExportOut {
  int result;
  std::string bytes;
};

ExportOut Export(Scene& s) {
  MemFile out;
  int r = ExportToStream(out.f, &s, &s);  // closes the stream
  out.ClosedElsewhere();
  return {r, out.Bytes()};
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
  skin.bones.push_back({&bone, "", {}});
  skin.weights = std::vector<std::vector<float>>{{1}, {1}, {1}};
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
  void SetUp() override {
    SkinTest::SetUp();
    Scene probe;
    auto& tri = probe.Make<scene::MeshObject>();
    tri.mesh.verts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    Face f;
    f.v[0] = 0, f.v[1] = 1, f.v[2] = 2;
    tri.mesh.faces = {f};
    probe.AddNode("Probe").SetObject(&tri);
    if (Export(probe).bytes.empty()) GTEST_SKIP() << "mesh extraction (ExportMeshNode) still writes nothing";
  }
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
  EXPECT_TRUE(reports.records.empty());

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
    LimitFile out(n);
    EXPECT_EQ(ExportToStream(out.f, &s, &s), 0);
    out.ClosedElsewhere();
    EXPECT_EQ(out.got, full.bytes.substr(0, n));
  }
  DropNotes();
  LimitFile whole(full.bytes.size());
  EXPECT_EQ(ExportToStream(whole.f, &s, &s), 1);
  whole.ClosedElsewhere();
  EXPECT_EQ(whole.got, full.bytes);
}

}  // namespace
