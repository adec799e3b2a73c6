// Running out of memory at every single allocation of a whole export: the
// object model, the writer, the skin and the note list all allocate through
// one seam, so each allocation can be made to fail in turn.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "plugin/driver.h"
#include "scene/scene.h"
#include "skin/notes.h"
#include "tests/support/alloc.h"
#include "tests/support/reports.h"
#include "tests/support/streams.h"

namespace {

using scene::Node;
using scene::Scene;

// A multi-material quad with a two-sided part, skinned to two bones with a
// note, beside an omni light: every allocating step of an export.
void Build(Scene& s) {
  s.animationRange = {0, 320};
  Node& root = s.AddNode("Root");
  Node& tip = s.AddNode("Tip", &root);
  tip.transform.SetTrans({0, 0, 5});
  root.AddNoteTrack().keys = {{160, "step"}};
  auto& a = s.Make<scene::StdMaterial>("A");
  auto& b = s.Make<scene::StdMaterial>("B");
  b.twoSided = 1;
  auto& multi = s.Make<scene::MultiMaterial>("AB");
  multi.subs = {&a, &b};
  auto& quad = s.Make<scene::MeshObject>();
  Mesh& m = quad.mesh;
  m.verts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}};
  m.faces.resize(2);
  m.faces[0].v[0] = 0, m.faces[0].v[1] = 1, m.faces[0].v[2] = 2;
  m.faces[1].v[0] = 1, m.faces[1].v[1] = 3, m.faces[1].v[2] = 2;
  m.faces[1].matID = 1;
  m.tVerts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}};
  m.tvFace.resize(2);
  for (int f = 0; f < 2; ++f)
    for (int k = 0; k < 3; ++k) m.tvFace[f].t[k] = m.faces[f].v[k];
  auto& skin = s.Make<scene::SkinModifier>();
  skin.bones = {{&root, std::nullopt, {}}, {&tip, std::nullopt, {}}};
  skin.SetWeights({{1, 0}, {0.5f, 0.5f}, {0, 1}, {0.25f, 0.75f}});
  Node& body = s.AddNode("Body");
  body.SetObject(&quad);
  body.material = &multi;
  body.AddModifier(&skin);
  s.AddNode("Lamp").SetObject(&s.Make<scene::LightObj>(OMNI_LIGHT));
}

void DropNotes() {
  int r = 0;
  tarntest::Written([](RecordWriter& out) { return WriteNotes(out); }, &r);
}

struct Outcome {
  int result;
  std::string bytes;
  std::vector<std::string> reports;
};

Outcome Export(Scene& s) {
  DropNotes();
  tarntest::ReportLog log;
  tarntest::Sink sink;
  Outcome r;
  r.result = ExportToStream(sink.Open(), &s, &s);
  r.bytes = sink.bytes;
  for (size_t i = 0; i < log.boxes.size(); ++i) r.reports.push_back(log.Condition(i));
  return r;
}

TEST(ExportMemory, EveryAllocationThatFailsFailsTheExportOrChangesNothing) {
  Scene s;
  Build(s);
  const Outcome full = Export(s);
  ASSERT_EQ(full.result, 1);
  ASSERT_TRUE(full.reports.empty());

  long total = 0;
  {
    tarntest::FailingAllocations counting(-1);
    Export(s);
    total = counting.Count();
  }
  ASSERT_GT(total, 30);
  // The reports of memory running out; the writer's own tables fail the record.
  const std::set<std::string> reported = {"new_arr", "!\"Out of memory\"", "sv_lookup && \"Out of memory\"",
                                          "ref", "!\"sobj->FWrite failed\""};
  int failed = 0, unharmed = 0, silent = 0;
  for (long n = 1; n <= total; ++n) {
    SCOPED_TRACE(n);
    Outcome r;
    {
      tarntest::FailingAllocations failing(n);
      r = Export(s);
      ASSERT_TRUE(failing.Reached());
    }
    if (r.result == 1) {
      // Only a cache may be missing: then nothing differs.
      ++unharmed;
      EXPECT_EQ(r.bytes, full.bytes);
      EXPECT_TRUE(r.reports.empty());
      continue;
    }
    ++failed;
    if (r.reports.empty()) {
      // No report is defined for it (the note, the skin data, the writer),
      // but the file lacks something, so the export failed.
      ++silent;
      continue;
    }
    // Reported: what was written before is what a whole export writes.
    EXPECT_EQ(r.bytes, full.bytes.substr(0, r.bytes.size()));
    EXPECT_LE(r.reports.size(), 2u);
    for (const std::string& text : r.reports) EXPECT_TRUE(reported.count(text)) << text;
  }
  EXPECT_GT(failed, 20);
  EXPECT_GE(unharmed, 1);  // the material cache
  EXPECT_GE(silent, 3);    // the note, the skin data, the writer
  DropNotes();
}

}  // namespace
