#include "skin/notes.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "plugin/driver.h"
#include "scene/scene.h"
#include "tests/support/bytes.h"
#include "tests/support/reports.h"
#include "tests/support/streams.h"
#include "tests/support/temp_dir.h"

namespace {

using tarntest::Bytes;
using tarntest::IsReport;
using tarntest::Sink;

// Writes and empties the note list.
std::string Written(int expectResult = 1) {
  int result = 0;
  const std::string bytes = tarntest::Written([](RecordWriter& out) { return WriteNotes(out); }, &result);
  EXPECT_EQ(result, expectResult);
  EXPECT_EQ(NoteList, nullptr);
  return bytes;
}

class Notes : public testing::Test {
 protected:
  void SetUp() override {
    Written();  // start from an empty list
    SetTicksPerFrame(160);
    SetAnimRange(Interval(0, 1000));
  }
};

TEST_F(Notes, TimeOrderWithLastAddedFirstAmongEqualTimes) {
  AddNote(320, "c");
  AddNote(0, "a");
  AddNote(160, "b");
  EXPECT_EQ(Written(), Bytes().str("a").i32(0).str("b").i32(1).str("c").i32(2).u8(0).str());

  AddNote(160, "A");
  AddNote(160, "B");
  EXPECT_EQ(Written(), Bytes().str("B").i32(1).str("A").i32(1).u8(0).str());
}

TEST_F(Notes, FrameNumbersTruncateTowardZeroFromTheWritingExportsStart) {
  AddNote(480, "x");
  AddNote(500, "y");
  EXPECT_EQ(Written(), Bytes().str("x").i32(3).str("y").i32(3).u8(0).str());

  AddNote(0, "early");
  AddNote(200, "late");
  SetAnimRange(Interval(320, 2000));  // -320/160 = -2, -120/160 = 0
  EXPECT_EQ(Written(), Bytes().str("early").i32(-2).str("late").i32(0).u8(0).str());
}

TEST_F(Notes, EmptyTextsWriteNothingAndAnEmptyListOneZeroByte) {
  EXPECT_EQ(Written(), std::string(1, '\0'));
  AddNote(10, "");
  AddNote(20, nullptr);
  AddNote(30, "kept");
  EXPECT_EQ(Written(), Bytes().str("kept").i32(0).u8(0).str());
}

TEST_F(Notes, LongTextsAreCutTo255BytesAtASequenceBoundary) {
  struct Case {
    std::string text;
    size_t kept;
  };
  const std::string x(300, 'x');
  const Case cases[] = {
      {x.substr(0, 255), 255},                                 // fits with its zero
      {x.substr(0, 256), 255},                                 // one too many
      {x, 255},                                                // far too many
      {x.substr(0, 254) + "\xC3\xA9", 254},                    // 2-byte sequence across the cut
      {x.substr(0, 253) + "\xE2\x82\xAC", 253},                // 3-byte sequence, two bytes before the cut
      {x.substr(0, 252) + "\xF0\x9F\x98\x80", 252},            // 4-byte sequence, three before the cut
      {x.substr(0, 251) + "\xF0\x9F\x98\x80" + "y", 255},      // complete sequence right at the cut
      {x.substr(0, 253) + "\xC3\xA9" + x.substr(0, 10), 255},  // complete 2-byte sequence ends at the cut
  };
  for (const Case& c : cases) {
    AddNote(0, c.text.c_str());
    ASSERT_NE(NoteList, nullptr);
    EXPECT_EQ(std::string(NoteList->Text), c.text.substr(0, c.kept)) << c.text.size();
    EXPECT_EQ(Written(), Bytes().str(c.text.substr(0, c.kept)).i32(0).u8(0).str());
  }
}

TEST_F(Notes, FailedWriteGivesMinusOneAndStillEmptiesTheList) {
  const std::string full = Bytes().str("a").i32(0).str("b").i32(1).u8(0).str();
  for (size_t n = 0; n < full.size(); ++n) {
    AddNote(0, "a");
    AddNote(160, "b");
    Sink sink;
    sink.limit = n;
    sink.recover = true;
    FILE* f = sink.Open();
    {
      RecordWriter out(f);
      EXPECT_EQ(WriteNotes(out), -1) << n;
    }
    std::fclose(f);
    EXPECT_EQ(sink.bytes, full.substr(0, n));
    EXPECT_EQ(NoteList, nullptr);
  }
}

TEST_F(Notes, GatheredNotesOutliveExportsWhileTheLibraryIsLoaded) {
  tarntest::TempDir dir{"tarn_notes"};
  const std::string path = dir / "out.thm";

  // No skin block is written, so each export leaves its notes in the list.
  scene::Scene first;
  first.animationRange = Interval(0, 1000);
  first.AddNode("Camera01").SetObject(scene::GenericObject::Camera(first));
  first.FindNodes("Camera01")[0]->AddNoteTrack().keys = {{320, "late"}};
  EXPECT_EQ(ExportScene(path.c_str(), &first, &first, 0), 1);

  scene::Scene second;
  second.animationRange = Interval(160, 2000);
  second.AddNode("Camera02").SetObject(scene::GenericObject::Camera(second));
  second.FindNodes("Camera02")[0]->AddNoteTrack().keys = {{0, "early"}};
  EXPECT_EQ(ExportScene(path.c_str(), &second, &second, 0), 1);
  EXPECT_EQ(AnimStart, 160);
  EXPECT_EQ(AnimEnd, 2000);

  EXPECT_EQ(Written(), Bytes().str("early").i32(-1).str("late").i32(1).u8(0).str());
}

}  // namespace
