#include "tests/model/literal_obj.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "context/report.h"
#include "skin/bones.h"

// The literal model reports with the object model's texts.
#define CHECK_FAILED(cond) (!(cond) && (report::Show({#cond, "model/obj.cpp", 0}), true))

int32_t LitCellCoord(float scaled, double offset) {
  double c = std::fmod(std::floor(offset + static_cast<double>(scaled)), 65536.0);
  if (std::isnan(c)) return INT32_MIN;  // what the x86 conversion gives
  return static_cast<int32_t>(c);
}

GridCell LitCellOf(const Point3& pos, float gridScale, double ox, double oy, double oz) {
  return {LitCellCoord(pos.x * gridScale, ox), LitCellCoord(pos.y * gridScale, oy),
          LitCellCoord(pos.z * gridScale, oz)};
}

uint32_t LitMixHash(const uint32_t* words, int count) {
  uint32_t h = 0;
  for (int i = 0; i < count; ++i) {
    const uint32_t w = words[i];
    h = h ^ static_cast<uint32_t>(static_cast<int32_t>(w) >> 9) ^ w ^ (w << 23);
  }
  return h;
}

static int32_t LitCellBucket(const GridCell& c) {
  const uint32_t w[4] = {static_cast<uint32_t>(c.x), static_cast<uint32_t>(c.y), static_cast<uint32_t>(c.z),
                         0};
  return static_cast<int32_t>(LitMixHash(w, 4) & 0x3FFF);
}

static int32_t LitHVBucket(float u, float v, int32_t mat, int32_t sv, uint32_t sg) {
  uint32_t w[5] = {0, 0, static_cast<uint32_t>(mat), static_cast<uint32_t>(sv), sg};
  std::memcpy(&w[0], &u, 4);
  std::memcpy(&w[1], &v, 4);
  return static_cast<int32_t>(LitMixHash(w, 5) & 0x7FFF);
}

static int32_t LitTriBucket(int32_t a, int32_t b, int32_t c, int32_t e0, int32_t e1, int32_t e2,
                            uint32_t sg) {
  const uint32_t w[7] = {static_cast<uint32_t>(a),
                         static_cast<uint32_t>(b),
                         static_cast<uint32_t>(c),
                         static_cast<uint32_t>(e0),
                         static_cast<uint32_t>(e1),
                         static_cast<uint32_t>(e2),
                         sg};
  return static_cast<int32_t>(LitMixHash(w, 7) & 0x3FFF);
}

LitObj::LitObj(float tolerance) : Tolerance(tolerance), GridScale(0.25f / tolerance) {
  HVs = new LitHVert[16]();
  SVs = new LitSVert[16]();
  Tris = new LitTri[16];
  HVHash = new int32_t[kHVBuckets];
  TriHash = new int32_t[kTriBuckets];
  SVHash = new int32_t[kSVBuckets];
  std::fill_n(HVHash, kHVBuckets, -1);
  std::fill_n(TriHash, kTriBuckets, -1);
  std::fill_n(SVHash, kSVBuckets, -1);
}

LitObj::~LitObj() {
  delete[] HVHash;
  delete[] TriHash;
  delete[] SVHash;
  delete[] HVs;
  delete[] SVs;
  delete[] Tris;
}

template <class T>
static void Grow(T*& arr, int32_t& max, int32_t num) {
  T* grown = new T[max * 2]();
  std::copy(arr, arr + num, grown);
  delete[] arr;
  arr = grown;
  max *= 2;
}

int LitObj::AddSV(const Point3& pos) {
  for (const auto& o : kProbeOffsets) {
    int32_t bucket = LitCellBucket(LitCellOf(pos, GridScale, o[0], o[1], o[2]));
    for (int32_t s = SVHash[bucket]; s != -1; s = SVs[s].Next)
      if (Length(SVs[s].Pos - pos) <= Tolerance) return s;
  }
  if (NumSVs == MaxSVs) Grow(SVs, MaxSVs, NumSVs);
  int32_t bucket = LitCellBucket(LitCellOf(pos, GridScale, 0, 0, 0));
  LitSVert& sv = SVs[NumSVs];
  sv.Pos = pos;
  sv.TriRefCount = 0;
  sv.Next = SVHash[bucket];
  SVHash[bucket] = NumSVs;
  return NumSVs++;
}

int LitObj::AddHV(int sv, const Point3& uvw, int material, uint32_t smoothGroups) {
  if (CHECK_FAILED(material < mMatLib.NumMats || mMatLib.NumMats == 0)) return -1;
  float u = uvw.x, v = uvw.y;
  int32_t bucket = LitHVBucket(u, v, material, sv, smoothGroups);
  for (int32_t h = HVHash[bucket]; h != -1; h = HVs[h].Next) {
    LitHVert& hv = HVs[h];
    if (hv.UV[0] == u && hv.UV[1] == v && hv.SV == sv && hv.Mat == material &&
        (hv.SmoothGroups & smoothGroups) != 0 &&
        (hv.SmoothGroups & 0x80000000u) == (smoothGroups & 0x80000000u)) {
      hv.SmoothGroups |= smoothGroups;
      return h;
    }
  }
  if (NumHVs == MaxHVs) Grow(HVs, MaxHVs, NumHVs);
  LitHVert& hv = HVs[NumHVs];
  hv.Next = HVHash[bucket];
  hv.UV[0] = u;
  hv.UV[1] = v;
  hv.Mat = material;
  hv.SV = sv;
  hv.SmoothGroups = smoothGroups;
  hv.TriRefCount = 0;
  HVHash[bucket] = NumHVs;
  return NumHVs++;
}

void LitObj::AddTri(int a, int b, int c, uint32_t smoothGroups, int e0, int e1, int e2) {
  if (a == b || b == c || a == c) return;
  if (HVs[a].SV == HVs[b].SV || HVs[b].SV == HVs[c].SV || HVs[c].SV == HVs[a].SV) return;
  int32_t bucket = LitTriBucket(a, b, c, e0, e1, e2, smoothGroups);
  for (int32_t t = TriHash[bucket]; t != -1; t = Tris[t].Next)
    if (Tris[t].Pts[0] == a && Tris[t].Pts[1] == b && Tris[t].Pts[2] == c) return;
  if (NumTris == MaxTris) Grow(Tris, MaxTris, NumTris);
  LitTri& t = Tris[NumTris];
  t.Pts[0] = a;
  t.Pts[1] = b;
  t.Pts[2] = c;
  t.EdgeVis[0] = e0;
  t.EdgeVis[1] = e1;
  t.EdgeVis[2] = e2;
  t.SmoothGroups = smoothGroups;
  t.Next = TriHash[bucket];
  TriHash[bucket] = NumTris;
  ++SVs[HVs[a].SV].TriRefCount;
  ++SVs[HVs[b].SV].TriRefCount;
  ++SVs[HVs[c].SV].TriRefCount;
  ++HVs[a].TriRefCount;
  ++HVs[b].TriRefCount;
  ++HVs[c].TriRefCount;
  ++NumTris;
}

int LitObj::RemoveUnused(Bones* bones) {
  int32_t hv = 0;
  while (hv < NumHVs) {
    if (CHECK_FAILED(HVs[hv].TriRefCount >= 0)) return 0;
    if (HVs[hv].TriRefCount != 0) {
      ++hv;
      continue;
    }
    std::memmove(&HVs[hv], &HVs[hv + 1], sizeof(LitHVert) * (NumHVs - hv - 1));
    --NumHVs;
    for (int32_t tri = 0; tri < NumTris; ++tri)
      for (int pt = 0; pt < 3; ++pt) {
        if (Tris[tri].Pts[pt] > hv)
          --Tris[tri].Pts[pt];
        else if (CHECK_FAILED(Tris[tri].Pts[pt] != hv))
          return 0;
      }
  }
  int32_t sv = 0;
  while (sv < NumSVs) {
    if (CHECK_FAILED(SVs[sv].TriRefCount >= 0)) return 0;
    if (SVs[sv].TriRefCount != 0) {
      ++sv;
      continue;
    }
    std::memmove(&SVs[sv], &SVs[sv + 1], sizeof(LitSVert) * (NumSVs - sv - 1));
    if (bones) {
      if (CHECK_FAILED(bones->NumVertices == NumSVs)) return 0;
      bones->RemoveVertex(sv);
    }
    --NumSVs;
    for (int32_t h = 0; h < NumHVs; ++h) {
      int32_t hv = h;
      if (HVs[hv].SV > sv)
        --HVs[hv].SV;
      else if (CHECK_FAILED(HVs[hv].SV != sv))
        return 0;
    }
  }
  return 1;
}
