#include "writer/saveobj.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

#include "context/report.h"
#include "format/thm_format.h"
#include "host/scene_api.h"
#include "host/types.h"
#include "model/obj.h"
#include "skin/bones.h"

static_assert(std::endian::native == std::endian::little, "the record is little-endian");
static_assert(sizeof(Point3) == 12, "a point is written as its three floats");

namespace {

constexpr const char* kSource = "writer/saveobj.cpp";
// Each report as users have seen it: the condition, and the line it names.
constexpr report::Site kBrokenObject{"0", kSource, 185};
constexpr report::Site kUnusedHV{"0", kSource, 240};
constexpr report::Site kSecondCornerSection{"mObj->HVs[t.Pts[1]].Mat == i", kSource, 335};
constexpr report::Site kThirdCornerSection{"mObj->HVs[t.Pts[2]].Mat == i", kSource, 336};

// A normal from float arithmetic is kept unless that overflowed or lost its
// precision (extreme coordinates): then it is not finite or not of unit
// length, and the same vector is normalised again in double.
constexpr double kUnitSlack = 1e-5;

bool IsUnit(const Point3& n) {
  const double len = std::sqrt(double(n.x) * n.x + double(n.y) * n.y + double(n.z) * n.z);
  return std::fabs(len - 1.0) <= kUnitSlack;  // false for NaN
}

// (x, y, z) / |(x, y, z)| rounded to float; (0, 0, 0) without a direction.
Point3 UnitInDouble(double x, double y, double z) {
  const double len = std::sqrt(x * x + y * y + z * z);
  if (!(len > 0) || !std::isfinite(len)) return Point3(0, 0, 0);
  return Point3(static_cast<float>(x / len), static_cast<float>(y / len), static_cast<float>(z / len));
}

// The face normal of (p0, p1, p2): unit, or (0, 0, 0) for a triangle without area.
Point3 FaceNormal(const Point3& p0, const Point3& p1, const Point3& p2) {
  const Point3 n = CrossProd(p1 - p0, p2 - p0);
  const float len = Length(n);
  // Without area there is no direction: add nothing to the neighbours. (A
  // length of 0 from squares too small for a float still has one.)
  if (n.x == 0.0f && n.y == 0.0f && n.z == 0.0f) return Point3(0, 0, 0);
  if (len != 0.0f) {
    const Point3 unit = n / len;
    if (IsUnit(unit)) return unit;
  }
  const double ax = double(p1.x) - p0.x, ay = double(p1.y) - p0.y, az = double(p1.z) - p0.z;
  const double bx = double(p2.x) - p0.x, by = double(p2.y) - p0.y, bz = double(p2.z) - p0.z;
  return UnitInDouble(ay * bz - az * by, az * bx - ax * bz, ax * by - ay * bx);
}

template <class T>
alloc::Array<T> Alloc(std::size_t n) {
  return alloc::NewArray<T>(n);
}

BitmapTex* BitmapIn(StdMat* mtl, int slot) {
  Texmap* map = mtl->GetSubTexmap(slot);
  return map && map->ClassID() == BMTEX_CLASS_ID ? static_cast<BitmapTex*>(map) : nullptr;
}

// The map's file name without its folder; empty when it has none.
CStr MapFile(BitmapTex* map) {
  CStr file;
  SplitPathFile(CStr(map->GetMapName()), nullptr, &file);
  return file;
}

// A map field: the file name, or the byte 1 for no bitmap. A bitmap without
// a file name also writes 1: a lone zero byte would read as a short header.
bool WriteMap(RecordWriter& out, BitmapTex* map, bool amount, StdMat* mtl, int slot) {
  const CStr file = map ? MapFile(map) : CStr();
  if (file.Length() == 0) return out.U8(thm_format::kAbsentName);
  return out.Str(file.data()) && (!amount || out.F32(mtl->GetTexmapAmt(slot, 0)));
}

bool EndsWithVR(const char* name) {
  const std::size_t n = std::strlen(name);
  if (n < 3) return false;
  const char* e = name + n - 3;
  return e[0] == '_' && (e[1] == 'v' || e[1] == 'V') && (e[2] == 'r' || e[2] == 'R');
}

bool WriteHeader(RecordWriter& out, Mtl* mtl) {
  namespace f = thm_format;
  if (!mtl || mtl->ClassID() != DMTL_CLASS_ID) return out.U8(f::kShortHeader);
  StdMat* std = static_cast<StdMat*>(mtl);
  uint8_t flags = 0;
  const int transparency = std->GetTransparencyType();
  if (transparency == TRANSP_ADDITIVE)
    flags = f::kAdditive;
  else if (transparency == TRANSP_FILTER)
    flags = f::kFilter;
  const char* name = std->GetName();
  if (!name) name = "";
  if (EndsWithVR(name)) flags |= f::kVrName;

  BitmapTex* diffuse = BitmapIn(std, ID_DI);
  if (!WriteMap(out, diffuse, false, std, ID_DI)) return false;
  // Filter transparency needs the diffuse map's alpha.
  if ((flags & f::kTransparencyMask) == f::kFilter && diffuse && diffuse->GetAlphaSource() == ALPHA_NONE)
    flags &= ~f::kTransparencyMask;
  if (!out.Str(name)) return false;
  if (!WriteMap(out, BitmapIn(std, ID_RL), true, std, ID_RL)) return false;
  if (!WriteMap(out, BitmapIn(std, ID_SI), true, std, ID_SI)) return false;
  if (std->GetTwoSided()) flags |= f::kTwoSided;
  return out.U8(flags) && out.F32(std->GetOpacity(0));
}

// After a fill that advanced every start[k] to the end of list k, restores
// start[0..n] to the list starts.
void ShiftBack(int32_t* start, int32_t n) {
  for (int32_t k = n; k > 0; --k) start[k] = start[k - 1];
  start[0] = 0;
}

// Counting sort of `n` items by key; keys outside 0..numKeys-1 are left out.
// start gets numKeys + 1 entries, order the items of key k at start[k]..start[k+1]-1
// in ascending item order.
template <class KeyOf>
bool Bucket(int32_t n, int32_t numKeys, KeyOf keyOf, alloc::Array<int32_t>& start,
            alloc::Array<int32_t>& order) {
  start = Alloc<int32_t>(static_cast<std::size_t>(numKeys) + 1);
  order = Alloc<int32_t>(n);
  if (!start || !order) return false;
  std::fill_n(start.get(), numKeys + 1, 0);
  for (int32_t i = 0; i < n; ++i) {
    const int32_t k = keyOf(i);
    if (k >= 0 && k < numKeys) ++start[k + 1];
  }
  for (int32_t k = 0; k < numKeys; ++k) start[k + 1] += start[k];
  for (int32_t i = 0; i < n; ++i) {
    const int32_t k = keyOf(i);
    if (k >= 0 && k < numKeys) order[start[k]++] = i;
  }
  ShiftBack(start.get(), numKeys);
  return true;
}

}  // namespace

SaveObj::~SaveObj() {
  delete[] mHVs;
  delete[] mTris;
}

// Vertex normals. For each HVert i in ascending order that has no normal yet,
// the triangles in ascending order contribute their face normal once, at the
// first corner that is i itself or lies on i's SV with a common smoothing bit
// and the same back-side bit; the sum, normalised, goes to i and to every
// corner that contributed. Only triangles touching i's SV can contribute, so
// each pass walks that SV's corners (in triangle, then corner order).
int SaveObj::Init(Obj* obj, Bones* bones) {
  mObj = obj;
  mBones = bones;
  delete[] mHVs;
  delete[] mTris;
  mHVs = nullptr;
  mTris = nullptr;
  const int32_t numHVs = obj->NumHVs, numTris = obj->NumTris, numSVs = obj->NumSVs;
  mHVs = new (std::nothrow) HV[numHVs ? numHVs : 1];
  mTris = new (std::nothrow) Tri[numTris ? numTris : 1];
  if (!mHVs || !mTris) return 0;
  const HVert* hvs = obj->HVs;
  const ::Tri* tris = obj->Tris;
  const SVert* svs = obj->SVs;

  alloc::Array<int32_t> svStart = Alloc<int32_t>(static_cast<std::size_t>(numSVs) + 1);
  if (!svStart) return 0;
  std::fill_n(svStart.get(), numSVs + 1, 0);

  // The object must hold together before anything is indexed by it; the
  // same pass counts the corners of each SV.
  bool inRange = true;
  for (int32_t h = 0; h < numHVs && inRange; ++h) inRange = hvs[h].SV >= 0 && hvs[h].SV < numSVs;
  for (int32_t t = 0; t < numTris && inRange; ++t) {
    const int32_t* p = tris[t].Pts;
    inRange = p[0] >= 0 && p[0] < numHVs && p[1] >= 0 && p[1] < numHVs && p[2] >= 0 && p[2] < numHVs;
    if (inRange) {
      ++svStart[hvs[p[0]].SV + 1];
      ++svStart[hvs[p[1]].SV + 1];
      ++svStart[hvs[p[2]].SV + 1];
    }
  }
  if (!inRange) {
    report::Show(kBrokenObject);
    return 0;
  }
  for (int32_t s = 0; s < numSVs; ++s) svStart[s + 1] += svStart[s];
  alloc::Array<uint32_t> svCorners = Alloc<uint32_t>(svStart[numSVs]);  // t * 3 + k
  if (!svCorners) return 0;

  // Face normals, and the corners by SV: filling moves each start to the
  // next list's start; they are shifted back after.
  for (int32_t t = 0; t < numTris; ++t) {
    const int32_t* pts = tris[t].Pts;
    const int32_t s0 = hvs[pts[0]].SV, s1 = hvs[pts[1]].SV, s2 = hvs[pts[2]].SV;
    const Point3& p0 = svs[s0].Pos;
    const Point3& p1 = svs[s1].Pos;
    const Point3& p2 = svs[s2].Pos;
    mTris[t].Normal = FaceNormal(p0, p1, p2);
    const uint32_t c = static_cast<uint32_t>(t) * 3;
    svCorners[svStart[s0]++] = c;
    svCorners[svStart[s1]++] = c + 1;
    svCorners[svStart[s2]++] = c + 2;
  }
  ShiftBack(svStart.get(), numSVs);

  for (int32_t i = 0; i < numHVs; ++i) {
    const Point3& set = mHVs[i].Normal;
    if (set.x != 0.0f || set.y != 0.0f || set.z != 0.0f) continue;
    const uint32_t g = hvs[i].SmoothGroups;
    const int32_t sv = hvs[i].SV;
    // Calls back for every contributing corner, in the order they add up. An
    // HVert without smoothing bits can only match its own corners.
    auto shared = [&](auto&& take) {
      int32_t last = -1;
      for (int32_t e = svStart[sv]; e < svStart[sv + 1]; ++e) {
        const int32_t t = static_cast<int32_t>(svCorners[e] / 3);
        if (t == last) continue;  // a triangle counts once
        const int32_t h = tris[t].Pts[svCorners[e] % 3];
        const uint32_t tg = tris[t].SmoothGroups;
        if (h == i || ((tg & g) != 0 && ((tg ^ g) & kBackSide) == 0)) {
          last = t;
          take(t, h);
        }
      }
    };
    Point3 sum(0, 0, 0);
    bool found = false;
    shared([&](int32_t t, int32_t) {
      found = true;
      sum += mTris[t].Normal;
    });
    const float len = Length(sum);
    if (len == 0.0f || std::isnan(len)) {
      if (!found) {
        report::Show(kUnusedHV);  // an HVert that no triangle uses
        return 0;
      }
      sum = Point3(0, 0, 1);
    }
    Point3 n = sum / Length(sum);
    if (!IsUnit(n)) n = UnitInDouble(sum.x, sum.y, sum.z);
    mHVs[i].Normal = n;
    shared([&](int32_t, int32_t h) { mHVs[h].Normal = n; });
  }
  return 1;
}

int SaveObj::FWrite(RecordWriter& out) {
  namespace f = thm_format;
  if (!mObj || mObj->NumSVs == 0) return 0;
  const Obj& obj = *mObj;
  if (!mHVs || !mTris) return -1;  // not initialised
  const int32_t numMats = obj.mMatLib.NumMats, numHVs = obj.NumHVs, numTris = obj.NumTris;
  // The section of each vertex and triangle. With few materials a byte per
  // element is scanned once per section; otherwise they are bucketed.
  const bool fewMats = numMats <= 16;
  alloc::Array<uint8_t> hvMat, triMat;
  alloc::Array<int32_t> hvStart, hvOrder, triStart, triOrder;
  auto section = [](int32_t mat) {
    return static_cast<uint32_t>(mat) < 16u ? static_cast<uint8_t>(mat) : uint8_t{0xFF};
  };
  if (fewMats) {
    hvMat = Alloc<uint8_t>(numHVs);
    triMat = Alloc<uint8_t>(numTris);
    if (!hvMat || !triMat) return -1;
    for (int32_t h = 0; h < numHVs; ++h) hvMat[h] = section(obj.HVs[h].Mat);
    for (int32_t t = 0; t < numTris; ++t) triMat[t] = hvMat[obj.Tris[t].Pts[0]];
  } else if (!Bucket(
                 numHVs, numMats, [&](int32_t h) { return obj.HVs[h].Mat; }, hvStart, hvOrder) ||
             !Bucket(
                 numTris, numMats, [&](int32_t t) { return obj.HVs[obj.Tris[t].Pts[0]].Mat; }, triStart,
                 triOrder)) {
    return -1;
  }
  // Calls `fn` for the elements of section i in ascending order, and stops at
  // the first false it returns.
  auto eachOf = [](int32_t i, int32_t n, const uint8_t* mat, const int32_t* start, const int32_t* order,
                   auto&& fn) {
    if (mat) {
      // Runs of other sections are skipped by memchr.
      for (int32_t e = 0; e < n; ++e) {
        if (mat[e] != i) {
          const void* q = std::memchr(mat + e, i, static_cast<std::size_t>(n - e));
          if (!q) break;
          e = static_cast<int32_t>(static_cast<const uint8_t*>(q) - mat);
        }
        if (!fn(e)) return false;
      }
      return true;
    }
    for (int32_t e = start[i]; e < start[i + 1]; ++e)
      if (!fn(order[e])) return false;
    return true;
  };
  auto countOf = [](int32_t i, int32_t n, const uint8_t* mat, const int32_t* start) {
    if (!mat) return start[i + 1] - start[i];
    int32_t c = 0;
    for (int32_t e = 0; e < n; ++e) c += mat[e] == i;
    return c;
  };

  if (!out.U8(f::kRecordLead) || !out.U8(f::kMeshRecord) || !out.I32(obj.NumSVs)) return -1;
  for (int32_t s = 0; s < obj.NumSVs; ++s)
    if (!out.Bytes(&obj.SVs[s].Pos, f::kVec3Size)) return -1;

  const bool skin = mBones && mBones->HasVertices();
  if (!out.U8(skin ? f::kSkin : f::kNoSkin)) return -1;
  if (skin && mBones->Write(out) == -1) return -1;

  if (!out.I32(numMats)) return -1;

  const uint8_t* hm = hvMat.get();
  const uint8_t* tm = triMat.get();
  for (int32_t i = 0; i < numMats; ++i) {
    if (!WriteHeader(out, obj.mMatLib.Mats[i])) return -1;
    int32_t local = 0;
    eachOf(i, numHVs, hm, hvStart.get(), hvOrder.get(), [&](int32_t h) {
      mHVs[h].LocalIndex = local++;
      return true;
    });
    if (!out.I32(local)) return -1;
    bool ok = eachOf(i, numHVs, hm, hvStart.get(), hvOrder.get(), [&](int32_t hv) {
      const HVert& h = obj.HVs[hv];
      const Point3& n = mHVs[hv].Normal;
      const uint32_t rec[6] = {static_cast<uint32_t>(h.SV),      std::bit_cast<uint32_t>(h.UV[0]),
                               std::bit_cast<uint32_t>(h.UV[1]), std::bit_cast<uint32_t>(n.x),
                               std::bit_cast<uint32_t>(n.y),     std::bit_cast<uint32_t>(n.z)};
      return out.Bytes(rec, sizeof rec);
    });
    if (!ok || !out.I32(countOf(i, numTris, tm, triStart.get()))) return -1;
    ok = eachOf(i, numTris, tm, triStart.get(), triOrder.get(), [&](int32_t ti) {
      const ::Tri& t = obj.Tris[ti];
      if (obj.HVs[t.Pts[1]].Mat != i || obj.HVs[t.Pts[2]].Mat != i) {
        // What went before the bad triangle stays in the file.
        if (!out.Flush()) return false;
        if (!report::Check(obj.HVs[t.Pts[1]].Mat == i, kSecondCornerSection)) return false;
        if (!report::Check(obj.HVs[t.Pts[2]].Mat == i, kThirdCornerSection)) return false;
      }
      uint32_t rec[6];
      for (int k = 0; k < 3; ++k)
        rec[k] = static_cast<uint32_t>(mHVs[t.Pts[k]].LocalIndex) | (t.EdgeVis[k] ? f::kEdgeVisible : 0u);
      std::memcpy(&rec[3], &mTris[ti].Normal, 12);
      return out.Bytes(rec, sizeof rec);
    });
    if (!ok) return -1;
  }
  return out.Flush() ? 1 : -1;
}
