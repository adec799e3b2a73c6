#include "light/light.h"

#include <bit>
#include <cstdint>

#include "context/report.h"
#include "format/thm_format.h"

namespace {

constexpr report::Site kUnknownType{"!\"Unknown light type\"", "light/light.cpp", 42};

// One third, one unit in the last place below the nearest single: the
// written ranges depend on this exact value.
constexpr float kThird = 0.3333333f;
static_assert(std::bit_cast<uint32_t>(kThird) == 0x3EAAAAAAu);
static_assert(std::bit_cast<uint32_t>(thm_format::kNoAttenuation) == 0x551184E7u);

}  // namespace

int SaveLight(LightObject* light, INode* node, RecordWriter& out) {
  LightState ls;
  Interval valid = FOREVER();
  light->EvalLightState(0, valid, &ls);

  if (!out.U8(thm_format::kRecordLead)) return -1;
  if (ls.type != OMNI_LIGHT && ls.type != SPOT_LIGHT) {
    // The lead byte stays in the file, as the report comes after it.
    if (!out.Flush()) return -1;
    report::Show(kUnknownType);
    return 0;
  }
  if (!out.U8(ls.type == OMNI_LIGHT ? thm_format::kOmniRecord : thm_format::kSpotRecord)) return -1;
  // A host string that may be null is written as an empty one.
  if (!out.Str(node->GetName())) return -1;
  INode* parent = node->GetParentNode();
  if (!(parent ? out.Str(parent->GetName()) : out.U8(thm_format::kAbsentName))) return -1;

  const Matrix3 tm = node->GetObjectTM(0);
  if (!out.P3(tm * Point3(0.0f, 0.0f, 0.0f))) return -1;

  float start = thm_format::kNoAttenuation, end = thm_format::kNoAttenuation;
  if (ls.useAtten) {
    float sum = Length(tm.GetRow(0)) + Length(tm.GetRow(1));
    sum = sum + Length(tm.GetRow(2));
    const float scale = sum * kThird;
    start = ls.attenStart * scale;
    end = ls.attenEnd * scale;
  }
  if (!out.F32(start) || !out.F32(end)) return -1;
  if (!out.P3(ls.color) || !out.F32(ls.intens) || !out.I32(ls.on)) return -1;
  if (ls.type == SPOT_LIGHT) {
    if (!out.F32(ls.hotsize) || !out.F32(ls.fallsize)) return -1;
    if (!out.P3(tm.GetRow(2)) || !out.F32(light->GetTDist(0))) return -1;
  }
  return out.Flush() ? 1 : -1;
}
