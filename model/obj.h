// The mesh of one exported node: welded positions (SV), corner variants (HV)
// and triangles, plus the node's material library. Elements link each other by
// index. The weld, corner and triangle rules are defined over fixed tables of
// hash buckets walked newest first; the lookups go through private indexes
// that find the same first match in constant time per element, so only the
// bucket numbers, not the chains, need to exist.
#pragma once

#include <cstddef>
#include <cstdint>

#include "context/alloc.h"
#include "host/geom.h"
#include "host/scene_api.h"

class Bones;

struct SVert {
  Point3 Pos;           // as first handed to AddSV
  int32_t TriRefCount;  // corners whose HV names this SV
};

struct HVert {
  float UV[2];            // u, v
  int32_t Mat;            // index into mMatLib
  int32_t SV;             // index into SVs
  uint32_t SmoothGroups;  // bits 0-30 smoothing groups, bit 31 back side
  int32_t TriRefCount;    // corners that name this HV
};

struct Tri {
  int32_t Pts[3];         // HV indices in winding order
  int32_t EdgeVis[3];     // nonzero = edge visible, one per corner
  uint32_t SmoothGroups;  // as the face's corners
};

// The smoothing-group bit that marks the back copy of a two-sided face; bits
// 0-30 are the host face's smoothing groups.
constexpr uint32_t kBackSide = 0x80000000u;

static_assert(sizeof(SVert) == 16 && sizeof(HVert) == 24 && sizeof(Tri) == 28);

// The cache key before any lookup: no material handle has this value.
inline Mtl* NoMtl() {
  return reinterpret_cast<Mtl*>(~uintptr_t{0});
}

// Distinct materials in the order first met; compared by identity only.
struct MatLib {
  Mtl** Mats = nullptr;
  int32_t NumMats = 0;
  Mtl* LastMat = NoMtl();
  int32_t LastIndex = 0;

  MatLib() = default;
  MatLib(const MatLib&) = delete;
  MatLib& operator=(const MatLib&) = delete;
  ~MatLib();

  // Index of `mat`, appended when new; -1 after a report (no memory).
  int Lookup(Mtl* mat);
};

constexpr int kHVBuckets = 32768;
constexpr int kTriBuckets = 16384;
constexpr int kSVBuckets = 16384;

// XOR-linear mix of 32-bit words; a bucket is the result masked.
uint32_t MixHash(const uint32_t* words, int count);

// A weld-grid cell: per axis floor(offset + position * GridScale), wrapped
// into (-65536, 65536).
struct GridCell {
  int32_t x, y, z;
  bool operator==(const GridCell&) const = default;
};
// One axis of a cell from the already scaled coordinate.
int32_t CellCoord(float scaled, double offset);
GridCell CellOf(const Point3& pos, float gridScale, double ox, double oy, double oz);
int32_t CellBucket(const GridCell& cell);
// Offsets of the eight weld probes, in search order (z changes fastest).
extern const double kProbeOffsets[8][3];

int32_t HVBucket(float u, float v, int32_t mat, int32_t sv, uint32_t smoothGroups);
int32_t TriBucket(int32_t a, int32_t b, int32_t c, int32_t e0, int32_t e1, int32_t e2, uint32_t smoothGroups);

class Obj {
 public:
  HVert* HVs = nullptr;
  SVert* SVs = nullptr;
  Tri* Tris = nullptr;
  int32_t NumHVs = 0;
  int32_t NumSVs = 0;
  int32_t NumTris = 0;
  MatLib mMatLib;
  int32_t MaxHVs = 0;
  int32_t MaxSVs = 0;
  int32_t MaxTris = 0;
  float Tolerance;
  float GridScale;

  TARN_SEAM_ALLOCATED

  // Reports "new_arr" when the first arrays cannot be had; every Add then returns -1.
  explicit Obj(float tolerance);
  Obj(const Obj&) = delete;
  Obj& operator=(const Obj&) = delete;
  ~Obj();

  // Each Add returns -1 after a report (the node is to be abandoned), and also
  // when called after RemoveUnused or with indices that were never handed out.
  int AddSV(const Point3& pos);
  // Sizes the weld lookups for `count` more SVs at once (a hint: nothing
  // observable changes). 0, or -1 after a report.
  int ReserveSVs(int32_t count);
  // AddSV for each position in turn, the indices to `out`; 0, or -1 as AddSV.
  // Lookups for positions ahead are fetched while the current one is welded.
  int AddSVs(const Point3* pos, int32_t count, int32_t* out);
  int GetMatIndex(Mtl* mat);
  int AddHV(int sv, const Point3& uvw, int material, uint32_t smoothGroups);
  // 0 whether the triangle was stored or dropped as degenerate or duplicate.
  int AddTri(int a, int b, int c, uint32_t smoothGroups, int e0, int e1, int e2);
  // Drops unused HVs and SVs (and the skin entries of dropped SVs), renumbering
  // the survivors. 1, or 0 after a report. Ends the building phase.
  int RemoveUnused(Bones* bones);

 private:
  struct WeldProbe;
  bool ReserveSVIndex(int32_t more);
  void Probe(const Point3& pos, WeldProbe& p) const;
  int AddSVProbed(const Point3& pos, const WeldProbe& p);
  struct Index;
  Index* mIndex = nullptr;  // lookup indexes, live until RemoveUnused
};
