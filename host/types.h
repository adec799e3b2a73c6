// Basic host SDK types: times, class identities, strings, and the host-wide
// settings (ticks per frame, master scale) that live once per process.
#pragma once

#include <cstdint>
#include <string>

#include "host/api.h"

// Host time in ticks (4800 per second).
using TimeValue = int32_t;
constexpr TimeValue TIME_TICKSPERSEC = 4800;
constexpr TimeValue TIME_NegInfinity = INT32_MIN;
constexpr TimeValue TIME_PosInfinity = INT32_MAX;

struct Interval {
  TimeValue start = 0;
  TimeValue end = 0;
  Interval() = default;
  Interval(TimeValue s, TimeValue e) : start(s), end(e) {}
  TimeValue Start() const { return start; }
  TimeValue End() const { return end; }
};
// A validity interval that callers never ask for.
inline Interval FOREVER() {
  return Interval(TIME_NegInfinity, TIME_PosInfinity);
}

using SClass_ID = uint32_t;

class Class_ID {
 public:
  constexpr Class_ID() = default;
  constexpr Class_ID(uint32_t a, uint32_t b) : a_(a), b_(b) {}
  constexpr uint32_t PartA() const { return a_; }
  constexpr uint32_t PartB() const { return b_; }
  constexpr bool operator==(const Class_ID& o) const { return a_ == o.a_ && b_ == o.b_; }
  constexpr bool operator!=(const Class_ID& o) const { return !(*this == o); }

 private:
  uint32_t a_ = 0xFFFFFFFFu;
  uint32_t b_ = 0xFFFFFFFFu;
};

// Super-class ids.
constexpr SClass_ID GEN_DERIVOB_CLASS_ID = 2;
constexpr SClass_ID GEOMOBJECT_CLASS_ID = 0x10;
constexpr SClass_ID CAMERA_CLASS_ID = 0x20;
constexpr SClass_ID LIGHT_CLASS_ID = 0x30;
constexpr SClass_ID SHAPE_CLASS_ID = 0x40;
constexpr SClass_ID HELPER_CLASS_ID = 0x50;
constexpr SClass_ID OSM_CLASS_ID = 0x810;
constexpr SClass_ID MATERIAL_CLASS_ID = 0xC00;
constexpr SClass_ID TEXMAP_CLASS_ID = 0xC10;
constexpr SClass_ID SCENE_EXPORT_CLASS_ID = 0xA20;

// Class ids.
constexpr Class_ID OMNI_LIGHT_CLASS_ID(0x1011, 0);
constexpr Class_ID SPOT_LIGHT_CLASS_ID(0x1012, 0);
constexpr Class_ID NOTETRACK_CLASS_ID(0xFF, 0);
constexpr Class_ID MULTI_CLASS_ID(0x200, 0);
constexpr Class_ID DMTL_CLASS_ID(2, 0);  // the standard material, StdMat
constexpr Class_ID BMTEX_CLASS_ID(0x240, 0);
constexpr Class_ID DERIVOB_CLASS_ID(0xCCCC, 0);
constexpr Class_ID TRIOBJ_CLASS_ID(0x0009, 0);
constexpr Class_ID CAMERA_OBJ_CLASS_ID(0x1001, 0);
constexpr Class_ID DUMMY_CLASS_ID(0x876234, 0);
constexpr Class_ID SPLINE_SHAPE_CLASS_ID(0x0A, 0);
// The triangle-mesh object class, as the host's global of that name.
inline constexpr Class_ID triObjectClassID = TRIOBJ_CLASS_ID;

// Host-wide time and unit settings. The host sets them; plug-ins read them.
HOST_API int GetTicksPerFrame();
HOST_API void SetTicksPerFrame(int ticks);
// System units per generic unit; the argument selects the unit type (0 = generic).
HOST_API double GetMasterScale(int type);
HOST_API void SetMasterScale(double scale);

// The host's string class: owns 8-bit text; data() is never null.
class HOST_API CStr {
 public:
  CStr() = default;
  CStr(const char* s) : s_(s ? s : "") {}
  CStr(std::string s) : s_(std::move(s)) {}
  const char* data() const { return s_.c_str(); }
  operator const char*() const { return s_.c_str(); }
  int Length() const { return static_cast<int>(s_.size()); }
  const std::string& str() const { return s_; }

 private:
  std::string s_;
};

// Splits a path into its folder and its file part (either output may be null).
// Both '/' and '\\' separate folders, as paths from either platform reach the host.
HOST_API void SplitPathFile(const CStr& full, CStr* path, CStr* file);
