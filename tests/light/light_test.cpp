#include "light/light.h"

#include <gtest/gtest.h>

#include "scene/scene.h"
#include "tests/support/bytes.h"
#include "tests/support/reports.h"
#include "tests/support/streams.h"

namespace {

using tarntest::Bytes;
using tarntest::IsReport;
using tarntest::Sink;

using scene::LightObj;
using scene::Node;
using scene::Scene;

// Writes the node's light record through SaveLight into memory.
std::string Save(Node& node, int expectResult = 1) {
  int result = 0;
  const std::string bytes = tarntest::Written(
      [&](RecordWriter& out) { return SaveLight(static_cast<LightObject*>(node.BaseObject()), &node, out); },
      &result);
  EXPECT_EQ(result, expectResult);
  return bytes;
}

LightObj& AddLight(Scene& s, Node& node, int type) {
  LightObj& light = s.Make<LightObj>(type);
  node.SetObject(&light);
  return light;
}

uint32_t U32At(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b.at(at + i));
  return v;
}

TEST(LightRecord, OmniAndSpotByteForByte) {
  Scene s;
  // Omni at the top level: the byte 1 stands for the missing parent.
  Node& omni = s.AddNode("Omni01");
  omni.transform.SetTrans({1, 2, 3});
  LightObj& o = AddLight(s, omni, OMNI_LIGHT);
  o.state.color = {0.5f, 0.25f, 1.0f};
  o.state.intens = 1.5f;
  o.state.useAtten = 1;
  o.state.attenStart = 80;
  o.state.attenEnd = 200;
  // Unit axes give the scale 3 * 0x3EAAAAAA = 0x3F7FFFFF, so 80 and 200 come out one unit low.
  const std::string omniRecord = Bytes()
                                     .u8(8)
                                     .u8(1)
                                     .str("Omni01")
                                     .u8(1)
                                     .f32(1, 2, 3)
                                     .u32(0x429FFFFF)
                                     .u32(0x4347FFFF)
                                     .f32(0.5f, 0.25f, 1.0f)
                                     .f32(1.5f)
                                     .i32(1)
                                     .str();
  EXPECT_EQ(Save(omni), omniRecord);
  EXPECT_EQ(omniRecord.size() - 2 - 7 - 1, 40u);

  // Spot under a moved parent, turned 90 degrees about x and scaled by 2.
  Node& dummy = s.AddNode("Dummy01");
  dummy.transform.SetTrans({10, 0, 0});
  Node& spot = s.AddNode("Spot01", &dummy);
  spot.transform = Matrix3({2, 0, 0}, {0, 0, 2}, {0, -2, 0}, {1, 2, 3});
  spot.objectOffset.SetTrans({0, 0, 0.5f});  // the object sits half a unit along the node's z
  LightObj& sp = AddLight(s, spot, SPOT_LIGHT);
  sp.state.color = {0.1f, 0.2f, 0.3f};
  sp.state.intens = 2.0f;
  sp.state.hotsize = 30;
  sp.state.fallsize = 50;
  sp.state.useAtten = 1;
  sp.state.attenStart = 80;
  sp.state.attenEnd = 200;
  sp.targetDistance = 123.5f;
  // Position: the object offset and the parent's move included. Range: 80 and 200 times 0x3FFFFFFF,
  // doubled and one unit low. Direction: row 2 as it stands, scaled, not normalised.
  const std::string spotRecord = Bytes()
                                     .u8(8)
                                     .u8(2)
                                     .str("Spot01")
                                     .str("Dummy01")
                                     .f32(11, 1, 3)
                                     .u32(0x431FFFFF)
                                     .u32(0x43C7FFFF)
                                     .f32(0.1f, 0.2f, 0.3f)
                                     .f32(2.0f)
                                     .i32(1)
                                     .f32(30)
                                     .f32(50)
                                     .f32(0, -2, 0)
                                     .f32(123.5f)
                                     .str();
  EXPECT_EQ(Save(spot), spotRecord);
  EXPECT_EQ(spotRecord.size() - 2 - 7 - 8, 64u);
}

TEST(LightRecord, RangeIsAttenuationTimesMeanAxisLengthOr1e13WhenOff) {
  struct Case {
    const char* what;
    Matrix3 tm;
    float start, end;
    int useAtten;
    uint32_t wantStart, wantEnd;
  };
  const Case cases[] = {
      {"the constant itself", Matrix3({1, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}), 1, 1, 1, 0x3EAAAAAA,
       0x3EAAAAAA},
      {"unit axes", Matrix3(), 80, 200, 1, 0x429FFFFF, 0x4347FFFF},
      {"uniform 2", Matrix3({2, 0, 0}, {0, 2, 0}, {0, 0, 2}, {5, 5, 5}), 0.5f, 1024, 1, 0x3F7FFFFF,
       0x44FFFFFF},
      {"scale 1,2,3", Matrix3({1, 0, 0}, {0, 2, 0}, {0, 0, 3}, {0, 0, 0}), 0.5f, 1024, 1, 0x3F7FFFFF,
       0x44FFFFFF},
      {"off", Matrix3({2, 0, 0}, {0, 2, 0}, {0, 0, 2}, {0, 0, 0}), 80, 200, 0, 0x551184E7, 0x551184E7},
  };
  for (const Case& c : cases) {
    Scene s;
    Node& n = s.AddNode("L");
    n.transform = c.tm;
    LightObj& l = AddLight(s, n, OMNI_LIGHT);
    l.state.useAtten = c.useAtten;
    l.state.attenStart = c.start;
    l.state.attenEnd = c.end;
    const std::string b = Save(n);
    // 8, 1, "L\0", 1, position: the range follows at byte 17.
    EXPECT_EQ(U32At(b, 17), c.wantStart) << c.what;
    EXPECT_EQ(U32At(b, 21), c.wantEnd) << c.what;
  }
}

TEST(LightRecord, SwitchedOffKindFromEvaluatedTypeAndNullNames) {
  Scene s;
  Node& parent = s.AddNode("");
  parent.name.reset();  // the host gives no name
  Node& n = s.AddNode("", &parent);
  n.name.reset();
  // A spot-class object whose state says omni: the record follows the state.
  LightObj& l = AddLight(s, n, OMNI_LIGHT);
  l.classId = SPOT_LIGHT_CLASS_ID;
  l.state.on = 0;
  const std::string b = Save(n);
  ASSERT_EQ(b.size(), 4u + 40u);
  EXPECT_EQ(b.substr(0, 4), std::string("\x08\x01\0\0", 4));  // empty name, parent present but unnamed
  EXPECT_EQ(U32At(b, 40), 0u);                                // switched off, still written
}

TEST(LightRecord, UnknownTypeReportsAfterTheLeadByte) {
  tarntest::ReportLog reports;
  HWND owner = reinterpret_cast<HWND>(0x1234);
  HWND before = SetActiveWindow(owner);
  Scene s;
  Node& n = s.AddNode("Sun");
  AddLight(s, n, DIRECT_LIGHT);
  EXPECT_EQ(Save(n, 0), "\x08");
  SetActiveWindow(before);
  ASSERT_EQ(reports.boxes.size(), 1u);
  EXPECT_EQ(reports.boxes[0].text, "!\"Unknown light type\"\nlight/light.cpp: line 42");
  EXPECT_EQ(reports.boxes[0].owner, owner);
}

}  // namespace
