#include "thm/check.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "tests/thm/samples.h"

using namespace thmtest;
using tarntest::Bytes;

TEST(Check, ValidSamplesPass) {
  for (const Bytes& b :
       {OmniLight(), SpotLight(), TwoMaterialMesh(), SkinnedMesh(), WorkedSkinMesh(), AllRecords()}) {
    const auto p = thm::Check(b);
    EXPECT_FALSE(p.has_value()) << p->offset << ": " << p->what;
  }
  EXPECT_FALSE(thm::Check(std::span<const std::uint8_t>()).has_value());
}

TEST(Check, NormalTolerance) {
  // Lengths 1.0009 and 0.9991 pass, 1.002 fails; a zero face normal passes, a zero vertex normal fails.
  struct Case {
    const char* mark;
    std::size_t field;
    float z;
    bool ok;
  };
  const Case cases[] = {
      {"mat1.v1", 12, 1.0009f, true},
      {"mat1.v1", 12, 0.9991f, true},
      {"mat1.v1", 12, 1.002f, false},
      {"mat1.v1", 12, 0.0f, false},
      {"mat1.t0", 12, 0.0f, true},
      {"mat1.t0", 12, 0.5f, false},
      {"mat1.t0", 12, std::numeric_limits<float>::quiet_NaN(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mark) + " z=" + std::to_string(c.z));
    Bytes b = TwoMaterialMesh();
    const std::size_t normal = b.at(c.mark) + c.field;
    b.put_f32(normal + 8, c.z);
    const auto p = thm::Check(b);
    EXPECT_EQ(!p.has_value(), c.ok);
    if (p) {
      EXPECT_EQ(p->offset, normal);
    }
  }
}

TEST(Check, FirstProblemWithOffset) {
  struct Case {
    const char* label;
    std::function<Bytes()> make;
    std::function<std::size_t(const Bytes&)> expected;
    const char* contains;
  };
  const Case cases[] = {
      {"no positions",
       [] {
         Bytes b;
         b.raw({8, 0}).i32(0).u8(0).i32(0).str("E").str("");
         return b;
       },
       [](const Bytes&) { return std::size_t(2); }, "no positions"},
      {"vertex position index past the positions",
       [] { return TwoMaterialMesh().put_i32(TwoMaterialMesh().at("mat1.v1"), 4); },
       [](const Bytes& b) { return b.at("mat1.v1"); }, "position index 4"},
      {"negative vertex position index",
       [] { return TwoMaterialMesh().put_i32(TwoMaterialMesh().at("mat1.v1"), -1); },
       [](const Bytes& b) { return b.at("mat1.v1"); }, "position index -1"},
      {"corner past the section's vertices, edge bit kept apart",
       [] { return TwoMaterialMesh().put_u32(TwoMaterialMesh().at("mat0.t0.c2"), 0x80000003); },
       [](const Bytes& b) { return b.at("mat0.t0.c2"); }, "refers to vertex 3 of 3"},
      {"two corners on one position",
       [] { return TwoMaterialMesh().put_u32(TwoMaterialMesh().at("mat0.t0.c2"), 1); },
       [](const Bytes& b) { return b.at("mat0.t0"); }, "two corners"},
      {"unused flag bits", [] { return TwoMaterialMesh().put_u8(TwoMaterialMesh().at("mat1.flags"), 0x1D); },
       [](const Bytes& b) { return b.at("mat1.flags"); }, "flags"},
      {"sibling out of range", [] { return SkinnedMesh().put_i32(SkinnedMesh().at("bone1.sibling"), 2); },
       [](const Bytes& b) { return b.at("bone1.sibling"); }, "sibling 2 out of range"},
      {"parent below -1", [] { return SkinnedMesh().put_i32(SkinnedMesh().at("bone0.child") - 4, -2); },
       [](const Bytes& b) { return b.at("bone0.child") - 4; }, "parent -2"},
      {"child that does not point back",
       [] { return SkinnedMesh().put_i32(SkinnedMesh().at("bone1.parent"), -1); },
       [](const Bytes& b) { return b.at("bone0.child"); }, "does not name it"},
      {"reference to a bone that does not exist",
       [] { return SkinnedMesh().put_i32(SkinnedMesh().at("refs.p2"), 2); },
       [](const Bytes& b) { return b.at("refs.p2"); }, "refers to bone 2 of 2"},
      {"second reference of a list", [] { return SkinnedMesh().put_i32(SkinnedMesh().at("refs") + 8, 5); },
       [](const Bytes& b) { return b.at("refs") + 8; }, "bone 5"},
      {"empty reference list",
       [] {
         // Position 1's list starts with -1; its old weight and -1 then read as position 2's.
         Bytes b = SkinnedMesh();
         b.put_i32(b.at("refs") + 20, -1);
         return b;
       },
       [](const Bytes& b) { return b.at("refs") + 20; }, "no bone reference"},
      {"wrong end mark", [] { return SkinnedMesh().put_i32(SkinnedMesh().at("end"), -13); },
       [](const Bytes& b) { return b.at("end"); }, "end mark -14, found -13"},
      {"zero frame rate", [] { return SkinnedMesh().put_f32(SkinnedMesh().at("frames") + 4, 0); },
       [](const Bytes& b) { return b.at("frames") + 4; }, "frame rate"},
      {"checker problem before a later parse fault",
       [] {
         Bytes b = AllRecords();
         b.put_i32(b.at("skinned") + SkinnedMesh().at("end"), 0);
         b.raw({8, 9});
         return b;
       },
       [](const Bytes& b) { return b.at("skinned") + SkinnedMesh().at("end"); }, "end mark"},
      {"parse fault is the problem when nothing precedes it",
       [] {
         Bytes b = AllRecords();
         b.raw({8, 9});
         return b;
       },
       [](const Bytes& b) { return b.size() - 1; }, "record kind"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Bytes b = c.make();
    const auto p = thm::Check(b);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->offset, c.expected(b));
    EXPECT_NE(p->what.find(c.contains), std::string::npos) << p->what;
  }
}
