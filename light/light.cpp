#include "light/light.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "plugin/assert.h"

static_assert(std::endian::native == std::endian::little, "records are written as little-endian memory images");

namespace {

// One third, one unit in the last place below the nearest single: the
// written ranges depend on this exact value.
constexpr float kThird = 0.3333333f;
static_assert(std::bit_cast<uint32_t>(kThird) == 0x3EAAAAAAu);
// The range of a light without far attenuation.
constexpr float kNoAttenuation = 1e13f;
static_assert(std::bit_cast<uint32_t>(kNoAttenuation) == 0x551184E7u);

bool Put(FILE* file, const void* data, size_t size) { return std::fwrite(data, 1, size, file) == size; }

bool PutByte(FILE* file, uint8_t b) { return Put(file, &b, 1); }
bool PutFloat(FILE* file, float f) { return Put(file, &f, 4); }
bool PutInt(FILE* file, int32_t i) { return Put(file, &i, 4); }
bool PutPoint(FILE* file, const Point3& p) { return PutFloat(file, p.x) && PutFloat(file, p.y) && PutFloat(file, p.z); }
// A host string that may be null is written as an empty one.
bool PutName(FILE* file, const char* name) {
  if (!name) name = "";
  return Put(file, name, std::strlen(name) + 1);
}

}  // namespace

int SaveLight(LightObject* light, INode* node, FILE* file) {
  LightState ls;
  Interval valid = FOREVER();
  light->EvalLightState(0, valid, &ls);

  if (!PutByte(file, 8)) return -1;
  if (ls.type != OMNI_LIGHT && ls.type != SPOT_LIGHT) {
    CHECK_FAILED(!"Unknown light type");
    return 0;
  }
  if (!PutByte(file, ls.type == OMNI_LIGHT ? 1 : 2)) return -1;
  if (!PutName(file, node->GetName())) return -1;
  INode* parent = node->GetParentNode();
  if (!(parent ? PutName(file, parent->GetName()) : PutByte(file, 1))) return -1;

  const Matrix3 tm = node->GetObjectTM(0);
  if (!PutPoint(file, tm * Point3(0.0f, 0.0f, 0.0f))) return -1;

  float start = kNoAttenuation, end = kNoAttenuation;
  if (ls.useAtten) {
    float sum = Length(tm.GetRow(0)) + Length(tm.GetRow(1));
    sum = sum + Length(tm.GetRow(2));
    const float scale = sum * kThird;
    start = ls.attenStart * scale;
    end = ls.attenEnd * scale;
  }
  if (!PutFloat(file, start) || !PutFloat(file, end)) return -1;
  if (!PutPoint(file, ls.color) || !PutFloat(file, ls.intens) || !PutInt(file, ls.on)) return -1;
  if (ls.type == OMNI_LIGHT) return 1;

  if (!PutFloat(file, ls.hotsize) || !PutFloat(file, ls.fallsize)) return -1;
  if (!PutPoint(file, tm.GetRow(2)) || !PutFloat(file, light->GetTDist(0))) return -1;
  return 1;
}
