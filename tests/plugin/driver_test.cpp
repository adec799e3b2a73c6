#include "plugin/driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

#include "light/light.h"
#include "plugin/DLLMain.h"
#include "scene/scene.h"
#include "skin/notes.h"
#include "tests/support/bytes.h"
#include "tests/support/reports.h"
#include "tests/support/streams.h"
#include "tests/support/temp_dir.h"

namespace {

using tarntest::Bytes;
using tarntest::IsReport;
using tarntest::Sink;

using scene::GenericObject;
using scene::LightObj;
using scene::Node;
using scene::Scene;

std::vector<std::pair<int, std::string>> TakeNotes() {
  std::vector<std::pair<int, std::string>> out;
  for (Note* n = NoteList; n; n = n->Next) out.emplace_back(n->Time, n->Text);
  int result = 0;
  tarntest::Written([](RecordWriter& w) { return WriteNotes(w); }, &result);
  return out;
}

std::string Record(Node& node) {
  int result = 0;
  const std::string bytes = tarntest::Written(
      [&](RecordWriter& out) { return SaveLight(static_cast<LightObject*>(node.BaseObject()), &node, out); },
      &result);
  EXPECT_EQ(result, 1);
  return bytes;
}

Node& AddLight(Scene& s, const std::string& name, int type, Node* parent = nullptr) {
  Node& n = s.AddNode(name, parent);
  n.SetObject(&s.Make<LightObj>(type));
  return n;
}

// Exports into memory through a test stream.
int ExportTo(Sink& sink, Scene& s, int mode = _IONBF) {
  return ExportToStream(sink.Open(mode), &s, &s);
}

class Driver : public testing::Test {
 protected:
  tarntest::TempDir temp{"tarn_driver"};
  std::string dir = temp.path().string();
  void SetUp() override { TakeNotes(); }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

TEST_F(Driver, ScenesWithoutExportedNodesLeaveAnEmptyFile) {
  const std::string path = dir + "/out.thm";
  Scene hidden;
  AddLight(hidden, "Omni01", OMNI_LIGHT).hidden = true;
  Node& box = hidden.AddNode("Box01");
  box.SetObject(&hidden.Make<scene::MeshObject>());
  box.hidden = true;
  Scene others;
  others.AddNode("Camera01").SetObject(GenericObject::Camera(others));
  others.AddNode("Dummy01").SetObject(GenericObject::Dummy(others));
  others.AddNode("Shape01").SetObject(GenericObject::Shape(others));
  others.AddNode("Empty01");  // no object at all
  for (Scene* s : {&hidden, &others}) {
    { std::ofstream(path) << "old contents"; }
    tarntest::ReportLog reports;
    EXPECT_EQ(ExportScene(path.c_str(), s, s, 0), 1);
    EXPECT_EQ(Read(path), "");  // created anew, truncated
    EXPECT_TRUE(reports.boxes.empty());
  }
}

TEST_F(Driver, UnopenableFileGivesZeroAndTouchesNothing) {
  Scene s;
  s.animationRange = Interval(100, 200);
  AddLight(s, "Omni01", OMNI_LIGHT).AddNoteTrack().keys = {{5, "note"}};
  int visits = 0;
  s.onVisit = [&](int, int, Node*) { ++visits; };
  SetAnimRange(Interval(7, 9));
  tarntest::ReportLog reports;
  const std::string missing = dir + "/missing";
  EXPECT_EQ(ExportScene((missing + "/out.thm").c_str(), &s, &s, 0), 0);
  EXPECT_EQ(visits, 0);
  EXPECT_EQ(AnimStart, 7);
  EXPECT_EQ(AnimEnd, 9);
  EXPECT_TRUE(reports.boxes.empty());
  EXPECT_EQ(NoteList, nullptr);
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(Driver, NotesComeFromVisiblePlainTracksWhateverTheObject) {
  Scene s;
  Node& hiddenCam = s.AddNode("Hidden");
  hiddenCam.SetObject(GenericObject::Camera(s));
  hiddenCam.hidden = true;
  hiddenCam.AddNoteTrack().keys = {{10, "hidden"}};
  // A hidden node's children are still visited.
  Node& child = s.AddNode("Child", &hiddenCam);
  child.SetObject(GenericObject::Dummy(s));
  child.AddNoteTrack().keys = {{30, "child"}};
  Node& cam = s.AddNode("Camera01");
  cam.SetObject(GenericObject::Camera(s));
  cam.AddNoteTrack(Class_ID(0xFE, 0)).keys = {{1, "other class"}, {2, "other class"}};
  cam.AddNoteTrack().keys = {{40, "second"}, {20, "first"}};
  Sink sink;
  EXPECT_EQ(ExportTo(sink, s), 1);
  EXPECT_EQ(sink.bytes, "");
  EXPECT_EQ(TakeNotes(),
            (std::vector<std::pair<int, std::string>>{{20, "first"}, {30, "child"}, {40, "second"}}));
}

TEST_F(Driver, LightTestsComeFirstAndRecordsFollowTheWalk) {
  Scene s;
  // A mesh that also converts to an omni light is written as that light.
  Node& both = s.AddNode("Both");
  auto& mesh = s.Make<scene::MeshObject>();
  auto& asOmni = s.Make<LightObj>(OMNI_LIGHT);
  mesh.conversions.extra = {{OMNI_LIGHT_CLASS_ID, &asOmni}};
  both.SetObject(&mesh);
  // Omni is tried before spot.
  Node& either = s.AddNode("Either");
  auto& shape = *GenericObject::Shape(s);
  auto& asSpot = s.Make<LightObj>(SPOT_LIGHT);
  shape.conversions.extra = {{SPOT_LIGHT_CLASS_ID, &asSpot}, {OMNI_LIGHT_CLASS_ID, &asOmni}};
  either.SetObject(&shape);
  Node& spot = AddLight(s, "Spot01", SPOT_LIGHT, &either);
  // A host that claims a conversion and then fails it: no record, no report.
  Node& broken = AddLight(s, "Broken", OMNI_LIGHT);
  static_cast<LightObj*>(broken.BaseObject())->conversions.fail = true;

  // The expected records, written for the converted objects.
  Scene ref;
  Node& refBoth = ref.AddNode("Both");
  refBoth.SetObject(&asOmni);
  Node& refEither = ref.AddNode("Either");
  refEither.SetObject(&asOmni);
  tarntest::ReportLog reports;
  const std::string want = Record(refBoth) + Record(refEither) + Record(spot);
  ASSERT_EQ(want[1], 1);

  Sink sink;
  EXPECT_EQ(ExportTo(sink, s), 1);
  EXPECT_EQ(sink.bytes, want);
  EXPECT_TRUE(reports.boxes.empty());
}

TEST_F(Driver, EveryFailedLightWriteReportsStopsTheWalkAndKeepsTheBytesBefore) {
  Scene s;
  Node& dummy = s.AddNode("Dummy01");
  Node& spot = AddLight(s, "Spot01", SPOT_LIGHT, &dummy);
  AddLight(s, "Omni01", OMNI_LIGHT);
  int visits = 0;
  s.onVisit = [&](int, int, Node*) { ++visits; };
  const std::string full = Record(spot);
  ASSERT_EQ(full.size(), 2u + 7u + 8u + 64u);

  tarntest::ReportLog reports;
  for (size_t n = 0; n < full.size(); ++n) {
    Sink direct;
    direct.limit = n;
    direct.recover = true;
    FILE* f = direct.Open();
    {
      RecordWriter out(f);
      EXPECT_EQ(SaveLight(static_cast<LightObject*>(spot.BaseObject()), &spot, out), -1) << n;
    }
    std::fclose(f);
    EXPECT_EQ(direct.bytes, full.substr(0, n));

    reports.boxes.clear();
    visits = 0;
    Sink sink;
    sink.limit = n;
    sink.recover = true;
    EXPECT_EQ(ExportTo(sink, s), 0) << n;
    EXPECT_EQ(sink.bytes, full.substr(0, n));
    EXPECT_EQ(visits, 2);  // Dummy01, Spot01; Omni01 is never reached
    ASSERT_EQ(reports.boxes.size(), 1u) << n;
    EXPECT_TRUE(IsReport(reports.boxes[0], "!\"Light save failed\"", "plugin/DLLMain.cpp"))
        << reports.boxes[0].text;
  }
  // The failure does not outlive its export.
  reports.boxes.clear();
  Sink sink;
  EXPECT_EQ(ExportTo(sink, s), 1);
  EXPECT_EQ(sink.bytes.substr(0, full.size()), full);
  EXPECT_TRUE(reports.boxes.empty());
}

TEST_F(Driver, UnknownLightTypeEndsTheExportAfterItsLeadByte) {
  Scene s;
  AddLight(s, "Sun", DIRECT_LIGHT);  // of the omni class, but of another type
  AddLight(s, "Omni01", OMNI_LIGHT);
  tarntest::ReportLog reports;
  Sink sink;
  EXPECT_EQ(ExportTo(sink, s), 0);
  EXPECT_EQ(sink.bytes, "\x08");
  ASSERT_EQ(reports.boxes.size(), 1u);  // no second report: no write failed
  EXPECT_TRUE(IsReport(reports.boxes[0], "!\"Unknown light type\"", "light/light.cpp"))
      << reports.boxes[0].text;
}

TEST_F(Driver, BytesLostAtTheFlushOrCloseGiveZero) {
  Scene lit;
  AddLight(lit, "Omni01", OMNI_LIGHT);
  Scene empty;
  tarntest::ReportLog reports;

  Sink fine;
  EXPECT_EQ(ExportTo(fine, lit, _IOFBF), 1);
  EXPECT_EQ(fine.bytes.size(), 2u + 7u + 1u + 40u);

  Sink full;  // a full disk: the buffered record is refused when flushed
  full.limit = 0;
  EXPECT_EQ(ExportTo(full, lit, _IOFBF), 0);
  Sink partly;
  partly.limit = 10;
  EXPECT_EQ(ExportTo(partly, lit, _IOFBF), 0);
  EXPECT_EQ(partly.bytes, fine.bytes.substr(0, 10));

  Sink closeFails;  // every byte arrives, then the close fails
  closeFails.failClose = true;
  EXPECT_EQ(ExportTo(closeFails, lit, _IOFBF), 0);
  EXPECT_EQ(closeFails.bytes, fine.bytes);

  Sink nothingLost;  // an empty export loses nothing on a full disk
  nothingLost.limit = 0;
  EXPECT_EQ(ExportTo(nothingLost, empty, _IOFBF), 1);
  EXPECT_TRUE(reports.boxes.empty());
}

}  // namespace
