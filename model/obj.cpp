#include "model/obj.h"

#include <bit>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "context/report.h"
#include "skin/bones.h"

namespace {

constexpr const char* kSource = "model/obj.cpp";
// Each report as users have seen it: the condition, and the line it names.
constexpr report::Site kMatsNoMemory{"new_arr", kSource, 207};
constexpr report::Site kNewNoMemory{"new_arr", kSource, 303};
constexpr report::Site kReserveNoMemory{"new_arr", kSource, 362};
constexpr report::Site kSVsNoMemory{"new_arr", kSource, 475};
constexpr report::Site kSVIndexNoMemory{"new_arr", kSource, 487};
constexpr report::Site kBadMaterial{"material < mMatLib.NumMats || mMatLib.NumMats == 0", kSource, 531};
constexpr report::Site kRegroupNoMemory{"new_arr", kSource, 548};
constexpr report::Site kHVsNoMemory{"new_arr", kSource, 579};
constexpr report::Site kHVIndexNoMemory{"new_arr", kSource, 587};
constexpr report::Site kGroupNoMemory{"new_arr", kSource, 622};
constexpr report::Site kTriSetNoMemory{"new_arr", kSource, 669};
constexpr report::Site kTriSetGrowNoMemory{"new_arr", kSource, 675};
constexpr report::Site kTrisNoMemory{"new_arr", kSource, 682};
constexpr report::Site kTriIndexNoMemory{"new_arr", kSource, 688};
constexpr report::Site kNegativeHVCount{"HVs[hv].TriRefCount >= 0", kSource, 753};
constexpr report::Site kTriNamesRemovedHV{"Tris[tri].Pts[pt] != hv", kSource, 757};
constexpr report::Site kHVRemapNoMemory{"new_arr", kSource, 760};
constexpr report::Site kNegativeSVCount{"SVs[sv].TriRefCount >= 0", kSource, 814};
constexpr report::Site kSkinCount{"bones->NumVertices == NumSVs", kSource, 816};
constexpr report::Site kHVNamesRemovedSV{"HVs[hv].SV != sv", kSource, 819};
constexpr report::Site kSVRemapNoMemory{"new_arr", kSource, 824};

// `arr` moved to room for `count` elements, or null with `arr` untouched.
template <class T>
T* Realloc(T* arr, std::size_t count) {
  return alloc::Resize(arr, count);
}

// Grows `arr` in place; false (array untouched) without memory.
template <class T>
bool Resize(T*& arr, std::size_t count) {
  T* p = Realloc(arr, count);
  if (!p) return false;
  arr = p;
  return true;
}

// An element array of twice the capacity; the capacity stays an int32.
template <class T>
T* Doubled(T* arr, int32_t cap) {
  return cap <= INT32_MAX / 2 ? Realloc(arr, static_cast<std::size_t>(cap) * 2) : nullptr;
}

uint32_t MixWord(uint32_t w) {
  return (static_cast<uint32_t>(static_cast<int32_t>(w) >> 9)) ^ w ^ (w << 23);
}

uint64_t Mix64(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

uint64_t HashKey(uint32_t a, uint32_t b, uint32_t c, uint32_t d = 0, uint32_t e = 0) {
  uint64_t h = Mix64((uint64_t{a} << 32 | b) + 0x9E3779B97F4A7C15ULL);
  h = Mix64(h ^ (uint64_t{c} << 32 | d));
  return Mix64(h ^ e);
}

// -0.0 and +0.0 compare equal, so they must share an index key.
uint32_t CanonBits(float f) {
  return f == 0.0f ? 0u : std::bit_cast<uint32_t>(f);
}

// Open addressing over element ids (-1 = empty); a slot's key is read from
// the element it names, so a slot costs four bytes.
struct IdTable {
  int32_t* Slots = nullptr;
  std::size_t Mask = 0;
  std::size_t Count = 0;

  ~IdTable() { alloc::Deallocate(Slots); }

  // The slot of the id whose key satisfies `eq`, or the empty slot for it.
  template <class Eq>
  int32_t* Find(uint64_t hash, Eq eq) {
    for (std::size_t i = hash & Mask;; i = (i + 1) & Mask) {
      int32_t id = Slots[i];
      if (id < 0 || eq(id)) return &Slots[i];
    }
  }

  // Room for one more key, keeping the table at most half full. Slot
  // pointers from Find are invalid afterwards.
  template <class HashOf>
  bool Reserve(HashOf hashOf, std::size_t more = 1) {
    if (Slots && (Count + more) * 2 <= Mask + 1) return true;
    std::size_t cap = Slots ? (Mask + 1) * 2 : 256;
    while ((Count + more) * 2 > cap) cap *= 2;
    int32_t* slots = nullptr;
    if (!Resize(slots, cap)) return false;
    std::memset(slots, 0xFF, cap * sizeof(int32_t));
    for (std::size_t i = 0; Slots && i <= Mask; ++i) {
      int32_t id = Slots[i];
      if (id < 0) continue;
      std::size_t j = hashOf(id) & (cap - 1);
      while (slots[j] >= 0) j = (j + 1) & (cap - 1);
      slots[j] = id;
    }
    alloc::Deallocate(Slots);
    Slots = slots;
    Mask = cap - 1;
    return true;
  }
};

// floor(x) wrapped into (-65536, 65536) as fmod does. fmod of an integer-valued
// double is exact, so below 2^52 in magnitude (where floor fits an int64) it
// is the truncating int64 remainder; the rest (huge, infinite, NaN) takes the
// double path.
int32_t WrapFloor(double x) {
  if (std::fabs(x) < 0x1p52) {
    int64_t k = static_cast<int64_t>(x);
    k -= static_cast<double>(k) > x;
    return static_cast<int32_t>(k % 65536);
  }
  double c = std::fmod(std::floor(x), 65536.0);
  // Only a non-finite coordinate gets here without a value; give it the
  // integer-indefinite value the x86 conversion yields.
  if (std::isnan(c)) return INT32_MIN;
  return static_cast<int32_t>(c);
}

// The weld lookup: one entry per 4x4x4 block of cells (hashed, about one entry
// per SV) holding one bit per cell and the newest SV of the blocks that hash
// there, older ones chained through SVBlockNext. A weld's eight probe cells
// touch one or two entries, and a new SV links into the entry of its own cell,
// which is one of them; a position that welds nothing mostly stops at the
// bits.
struct WeldTable {
  struct Entry {
    uint64_t bits;
    int32_t head;  // -1 = none
    int32_t unused;
  };
  Entry* Entries = nullptr;
  int Shift = 64;  // 64 - log2(entry count)
  std::size_t Size = 0;

  ~WeldTable() { alloc::Deallocate(Entries); }

  // A block's entry index is the mix of one term per axis.
  static uint64_t XTerm(int32_t c) { return uint64_t{static_cast<uint32_t>(c >> 2)} * 0x9E3779B97F4A7C15ULL; }
  static uint64_t YTerm(int32_t c) { return uint64_t{static_cast<uint32_t>(c >> 2)} * 0xC2B2AE3D27D4EB4FULL; }
  static uint64_t ZTerm(int32_t c) { return uint64_t{static_cast<uint32_t>(c >> 2)} * 0x165667B19E3779F9ULL; }
  std::size_t Index(uint64_t terms) const {
    return static_cast<std::size_t>((terms * 0xD6E8FEB86659FD93ULL) >> Shift);
  }
  std::size_t IndexOf(const GridCell& c) const { return Index(XTerm(c.x) ^ YTerm(c.y) ^ ZTerm(c.z)); }
  static int BitNo(const GridCell& c) { return (c.x & 3) | (c.y & 3) << 2 | (c.z & 3) << 4; }

  // Links SV `id` of cell `c` as the newest of its entry.
  void Add(const GridCell& c, int32_t id, int32_t* next) {
    Entry& e = Entries[IndexOf(c)];
    e.bits |= uint64_t{1} << BitNo(c);
    next[id] = e.head;
    e.head = id;
  }
};

}  // namespace

// ---- Hashes and the weld grid ------------------------------------------------

uint32_t MixHash(const uint32_t* words, int count) {
  uint32_t h = 0;
  for (int i = 0; i < count; ++i) h ^= MixWord(words[i]);
  return h;
}

const double kProbeOffsets[8][3] = {{-0.5, -0.5, -0.5}, {-0.5, -0.5, 0.5}, {-0.5, 0.5, -0.5},
                                    {-0.5, 0.5, 0.5},   {0.5, -0.5, -0.5}, {0.5, -0.5, 0.5},
                                    {0.5, 0.5, -0.5},   {0.5, 0.5, 0.5}};

int32_t CellCoord(float scaled, double offset) {
  return WrapFloor(offset + static_cast<double>(scaled));
}

GridCell CellOf(const Point3& pos, float gridScale, double ox, double oy, double oz) {
  return {CellCoord(pos.x * gridScale, ox), CellCoord(pos.y * gridScale, oy),
          CellCoord(pos.z * gridScale, oz)};
}

// MixHash is XOR-linear, so a bucket is the mix of the XOR of its words.
int32_t CellBucket(const GridCell& cell) {
  const uint32_t w =
      static_cast<uint32_t>(cell.x) ^ static_cast<uint32_t>(cell.y) ^ static_cast<uint32_t>(cell.z);
  return static_cast<int32_t>(MixWord(w) & (kSVBuckets - 1));
}

int32_t HVBucket(float u, float v, int32_t mat, int32_t sv, uint32_t smoothGroups) {
  const uint32_t w = std::bit_cast<uint32_t>(u) ^ std::bit_cast<uint32_t>(v) ^ static_cast<uint32_t>(mat) ^
                     static_cast<uint32_t>(sv) ^ smoothGroups;
  return static_cast<int32_t>(MixWord(w) & (kHVBuckets - 1));
}

int32_t TriBucket(int32_t a, int32_t b, int32_t c, int32_t e0, int32_t e1, int32_t e2,
                  uint32_t smoothGroups) {
  const uint32_t w = static_cast<uint32_t>(a ^ b ^ c ^ e0 ^ e1 ^ e2) ^ smoothGroups;
  return static_cast<int32_t>(MixWord(w) & (kTriBuckets - 1));
}

// ---- Material library ---------------------------------------------------------

MatLib::~MatLib() {
  alloc::Deallocate(Mats);
}

int MatLib::Lookup(Mtl* mat) {
  if (mat == LastMat) return LastIndex;
  for (int i = 0; i < NumMats; ++i) {
    if (Mats[i] == mat) {
      LastMat = mat;
      LastIndex = i;
      return i;
    }
  }
  // One more entry each time: a node has few materials.
  Mtl** grown = Realloc(Mats, static_cast<std::size_t>(NumMats) + 1);
  if (!report::Check(grown != nullptr, kMatsNoMemory)) return -1;
  Mats = grown;
  Mats[NumMats] = mat;
  LastMat = mat;
  LastIndex = NumMats;
  return NumMats++;
}

// ---- Lookup indexes -----------------------------------------------------------
//
// SV: a stored SV within Tolerance of a position lies in one of the eight
// probe cells, so the SVs are listed per exact wrapped cell, newest first. A
// bucket chain is walked newest first and holds every SV of every cell that
// maps to the bucket, so its first hit is the newest hit among the probe cells
// sharing that bucket. Cells are found through the weld table, whose bits
// skip cells that hold no SV.
//
// HV: a match needs equal SV, Mat, u, v (as floats) and back-side bit, and
// lies in the chain of the bucket the caller's key hashes to, which holds the
// HVs created with keys of that bucket. Within such a group the chain's first
// match is the newest HV with a common smoothing bit. The HVs of an SV are
// listed newest first, so walking that list skipping other groups finds it;
// the list is near the HVs just made, where a hashed group table would miss
// the cache. An SV with many HVs moves to the group table to stay linear.
// HVs created with no smoothing bit or a NaN coordinate can never match and
// are not listed.
//
// Tri: a duplicate has the same Pts and lies in the same bucket. Triangles are
// listed by first corner, which moves to a (Pts, bucket) set when long.
namespace {
constexpr uint8_t kHashed = 255;  // list count of an element moved to a table
constexpr int kListMax = 16;
}  // namespace

struct Obj::Index {
  WeldTable Weld;
  int32_t* SVBlockNext = nullptr;  // older SV of the same weld entry
  int32_t* SVFirstHV = nullptr;    // newest listed HV of the SV
  uint8_t* SVHVCount = nullptr;    // listed HVs of the SV, or kHashed
  int32_t* HVNext = nullptr;       // older listed HV of the SV, or of the group when hashed
  uint16_t* HVBucketOf = nullptr;  // bucket of the key an HV was created with
  int32_t* HVFirstTri = nullptr;   // newest stored triangle with the HV as Pts[0]
  uint8_t* HVTriCount = nullptr;   // triangles listed there, or kHashed
  int32_t* TriNext = nullptr;      // older triangle of the same first corner
  IdTable Groups;                  // HVs of hashed SVs by group
  IdTable Tris;                    // triangles of hashed first corners by (Pts, bucket)
  bool AllGrouped = false;         // an HV named an SV that did not exist: every HV is hashed
  int32_t SVCap = 0, HVCap = 0, TriCap = 0;

  TARN_SEAM_ALLOCATED

  ~Index() {
    alloc::Deallocate(SVBlockNext);
    alloc::Deallocate(SVFirstHV);
    alloc::Deallocate(SVHVCount);
    alloc::Deallocate(HVNext);
    alloc::Deallocate(HVBucketOf);
    alloc::Deallocate(HVFirstTri);
    alloc::Deallocate(HVTriCount);
    alloc::Deallocate(TriNext);
  }
};

namespace {

uint64_t GroupHash(int32_t sv, float u, float v, int32_t mat, uint32_t sg, int32_t bucket) {
  return HashKey(static_cast<uint32_t>(sv), CanonBits(u), CanonBits(v), static_cast<uint32_t>(mat),
                 ((sg & kBackSide) ? 1u : 0u) << 16 | static_cast<uint32_t>(bucket));
}

uint64_t TriKeyHash(int32_t a, int32_t b, int32_t c, int32_t bucket) {
  return HashKey(static_cast<uint32_t>(a), static_cast<uint32_t>(b), static_cast<uint32_t>(c),
                 static_cast<uint32_t>(bucket));
}

int32_t BucketOf(const Tri& t) {
  return TriBucket(t.Pts[0], t.Pts[1], t.Pts[2], t.EdgeVis[0], t.EdgeVis[1], t.EdgeVis[2], t.SmoothGroups);
}

bool Listed(const HVert& h) {
  return h.SmoothGroups != 0 && !std::isnan(h.UV[0]) && !std::isnan(h.UV[1]);
}

GridCell OwnCell(const Point3& p, float gridScale) {
  return {CellCoord(p.x * gridScale, 0.0), CellCoord(p.y * gridScale, 0.0), CellCoord(p.z * gridScale, 0.0)};
}

}  // namespace

// ---- Construction -------------------------------------------------------------

Obj::Obj(float tolerance) : Tolerance(tolerance), GridScale(0.25f / tolerance) {
  bool ok = Resize(HVs, 16) && Resize(SVs, 16) && Resize(Tris, 16);
  Index* index = nullptr;
  if (ok) {
    index = new (std::nothrow) Index;
    ok = index != nullptr;
  }
  if (!report::Check(ok, kNewNoMemory)) {
    delete index;
    alloc::Deallocate(HVs);
    alloc::Deallocate(SVs);
    alloc::Deallocate(Tris);
    HVs = nullptr;
    SVs = nullptr;
    Tris = nullptr;
    return;
  }
  mIndex = index;
  MaxHVs = MaxSVs = MaxTris = 16;
  // New slots get TriRefCount 0 as they are appended, which is the only
  // time a slot past the count is written.
}

Obj::~Obj() {
  delete mIndex;
  alloc::Deallocate(HVs);
  alloc::Deallocate(SVs);
  alloc::Deallocate(Tris);
}

int Obj::GetMatIndex(Mtl* mat) {
  return mMatLib.Lookup(mat);
}

// ---- AddSV ----------------------------------------------------------------------

// Room in the weld table for `more` new SVs; false without memory. A grown
// table is refilled from the SVs, oldest first so that chains are newest first.
bool Obj::ReserveSVIndex(int32_t more) {
  Index* ix = mIndex;
  const std::size_t want = static_cast<std::size_t>(NumSVs) + static_cast<std::size_t>(more);
  if (want <= ix->Weld.Size) return true;
  std::size_t size = ix->Weld.Size ? ix->Weld.Size * 2 : 64;
  while (size < want) size *= 2;
  WeldTable::Entry* entries = nullptr;
  if (!Resize(entries, size)) return false;
  for (std::size_t i = 0; i < size; ++i) entries[i] = {0, -1, 0};
  alloc::Deallocate(ix->Weld.Entries);
  ix->Weld.Entries = entries;
  ix->Weld.Size = size;
  ix->Weld.Shift = 64 - std::countr_zero(size);
  for (int32_t i = 0; i < NumSVs; ++i) ix->Weld.Add(OwnCell(SVs[i].Pos, GridScale), i, ix->SVBlockNext);
  return true;
}

int Obj::ReserveSVs(int32_t count) {
  if (!mIndex) return -1;
  if (!report::Check(count <= 0 || ReserveSVIndex(count), kReserveNoMemory)) return -1;
  return 0;
}

// What a weld needs of a position before looking anything up: per axis the
// cells floor(s - 0.5), floor(s + 0.5) and floor(s), and the weld entries of
// the eight probe cells.
struct Obj::WeldProbe {
  int32_t side[3][2];
  int32_t own[3];
  std::size_t entry[8];
  std::size_t tableSize;  // the entries are valid for a weld table of this size
};

void Obj::Probe(const Point3& pos, WeldProbe& p) const {
  const WeldTable& f = mIndex->Weld;
  const float s[3] = {pos.x * GridScale, pos.y * GridScale, pos.z * GridScale};
  for (int a = 0; a < 3; ++a) {
    p.side[a][0] = CellCoord(s[a], -0.5);
    p.side[a][1] = CellCoord(s[a], 0.5);
    p.own[a] = CellCoord(s[a], 0.0);
  }
  p.tableSize = f.Size;
  if (!f.Size) return;
  const uint64_t x[2] = {f.XTerm(p.side[0][0]), f.XTerm(p.side[0][1])};
  const uint64_t y[2] = {f.YTerm(p.side[1][0]), f.YTerm(p.side[1][1])};
  const uint64_t z[2] = {f.ZTerm(p.side[2][0]), f.ZTerm(p.side[2][1])};
  for (int k = 0; k < 8; ++k) p.entry[k] = f.Index(x[k >> 2] ^ y[(k >> 1) & 1] ^ z[k & 1]);
}

int Obj::AddSVs(const Point3* pos, int32_t count, int32_t* out) {
  Index* ix = mIndex;
  if (!ix) return -1;
  if (count <= 0) return 0;
  if (ReserveSVs(count) < 0) return -1;
  // The weld entries of a position some calls ahead are fetched while the
  // current one is welded.
  constexpr int32_t kAhead = 16;
  WeldProbe ring[kAhead];
  auto fetch = [&](int32_t i) {
    WeldProbe& p = ring[i % kAhead];
    Probe(pos[i], p);
    // Most probes share one or two entries.
    __builtin_prefetch(&ix->Weld.Entries[p.entry[0]]);
    for (int k = 1; k < 8; ++k)
      if (p.entry[k] != p.entry[0]) __builtin_prefetch(&ix->Weld.Entries[p.entry[k]]);
  };
  for (int32_t i = 0; i < count && i < kAhead; ++i) fetch(i);
  for (int32_t i = 0; i < count; ++i) {
    const WeldProbe p = ring[i % kAhead];
    if (i + kAhead < count) fetch(i + kAhead);
    if ((out[i] = AddSVProbed(pos[i], p)) < 0) return -1;
  }
  return 0;
}

int Obj::AddSV(const Point3& pos) {
  if (!mIndex) return -1;
  WeldProbe p;
  Probe(pos, p);
  return AddSVProbed(pos, p);
}

int Obj::AddSVProbed(const Point3& pos, const WeldProbe& probe) {
  Index* ix = mIndex;
  const auto& side = probe.side;
  auto probeCell = [&](int k) { return GridCell{side[0][k >> 2], side[1][(k >> 1) & 1], side[2][k & 1]}; };

  if (NumSVs) {
    const WeldProbe* p = &probe;
    WeldProbe fresh;
    if (probe.tableSize != ix->Weld.Size) {
      Probe(pos, fresh);
      p = &fresh;
    }
    unsigned maybe = 0;
    for (int k = 0; k < 8; ++k)
      maybe |= static_cast<unsigned>(ix->Weld.Entries[p->entry[k]].bits >> WeldTable::BitNo(probeCell(k)) & 1)
               << k;
    if (maybe) {
      uint32_t mixed[3][2];
      for (int a = 0; a < 3; ++a)
        for (int hi = 0; hi < 2; ++hi) mixed[a][hi] = MixWord(static_cast<uint32_t>(side[a][hi]));
      int32_t buckets[8];
      int32_t hits[8];  // newest SV of each probe cell within Tolerance, or -1
      bool any = false;
      for (int k = 0; k < 8; ++k) {
        const int hx = k >> 2, hy = (k >> 1) & 1, hz = k & 1;
        buckets[k] = static_cast<int32_t>((mixed[0][hx] ^ mixed[1][hy] ^ mixed[2][hz]) & (kSVBuckets - 1));
        hits[k] = -1;
        if (!(maybe >> k & 1)) continue;
        const GridCell c = probeCell(k);
        // The entry's chain holds other cells too; newest first within each.
        for (int32_t id = ix->Weld.Entries[p->entry[k]].head; id >= 0; id = ix->SVBlockNext[id]) {
          if (OwnCell(SVs[id].Pos, GridScale) == c && Length(SVs[id].Pos - pos) <= Tolerance) {
            hits[k] = id;
            any = true;
            break;
          }
        }
      }
      if (any) {
        for (int k = 0; k < 8; ++k) {
          int32_t best = -1;
          for (int j = 0; j < 8; ++j)
            if (buckets[j] == buckets[k] && hits[j] > best) best = hits[j];
          if (best >= 0) return best;
        }
      }
    }
  }

  if (NumSVs == MaxSVs) {
    SVert* grown = Doubled(SVs, MaxSVs);
    if (!report::Check(grown != nullptr, kSVsNoMemory)) return -1;
    SVs = grown;
    MaxSVs *= 2;
  }
  {
    bool ok = true;
    if (ix->SVCap < MaxSVs) {
      ok = Resize(ix->SVBlockNext, MaxSVs) && Resize(ix->SVFirstHV, MaxSVs) && Resize(ix->SVHVCount, MaxSVs);
      if (ok) ix->SVCap = MaxSVs;
    }
    ok = ok && ReserveSVIndex(1);
    if (!report::Check(ok, kSVIndexNoMemory)) return -1;
  }

  const GridCell own = {probe.own[0], probe.own[1], probe.own[2]};
  const int32_t n = NumSVs;
  SVs[n].Pos = pos;
  SVs[n].TriRefCount = 0;

  ix->Weld.Add(own, n, ix->SVBlockNext);
  ix->SVFirstHV[n] = -1;
  ix->SVHVCount[n] = 0;
  NumSVs = n + 1;
  return n;
}

// ---- AddHV ----------------------------------------------------------------------

namespace {

// Links HV `id` at the head of its group in `groups`; false without memory.
bool GroupHV(IdTable& groups, int32_t* next, const HVert* hvs, const uint16_t* bucketOf, int32_t id) {
  auto hashOf = [&](int32_t i) {
    const HVert& h = hvs[i];
    return GroupHash(h.SV, h.UV[0], h.UV[1], h.Mat, h.SmoothGroups, bucketOf[i]);
  };
  if (!groups.Reserve(hashOf)) return false;
  const HVert& k = hvs[id];
  int32_t* slot = groups.Find(hashOf(id), [&](int32_t i) {
    const HVert& h = hvs[i];
    return h.SV == k.SV && h.Mat == k.Mat && h.UV[0] == k.UV[0] && h.UV[1] == k.UV[1] &&
           ((h.SmoothGroups ^ k.SmoothGroups) & kBackSide) == 0 && bucketOf[i] == bucketOf[id];
  });
  next[id] = *slot;
  if (*slot < 0) ++groups.Count;
  *slot = id;
  return true;
}

}  // namespace

int Obj::AddHV(int sv, const Point3& uvw, int material, uint32_t smoothGroups) {
  if (!report::Check(material < mMatLib.NumMats || mMatLib.NumMats == 0, kBadMaterial)) return -1;
  Index* ix = mIndex;
  if (!ix) return -1;
  const float u = uvw.x, v = uvw.y;
  const uint32_t sg = smoothGroups;
  const int32_t bucket = HVBucket(u, v, material, sv, sg);
  const bool listed = sg != 0 && !std::isnan(u) && !std::isnan(v);

  if (listed && !ix->AllGrouped && (sv < 0 || sv >= NumSVs)) {
    // The SV lists cannot hold an SV that may be made later: hash every HV.
    bool ok = true;
    alloc::Deallocate(ix->Groups.Slots);
    ix->Groups.Slots = nullptr;
    ix->Groups.Count = 0;
    for (int32_t id = 0; id < NumHVs && ok; ++id)
      if (Listed(HVs[id])) ok = GroupHV(ix->Groups, ix->HVNext, HVs, ix->HVBucketOf, id);
    if (!report::Check(ok, kRegroupNoMemory)) return -1;
    ix->AllGrouped = true;
  }
  const bool hashed = ix->AllGrouped || (listed && ix->SVHVCount[sv] == kHashed);

  if (listed) {
    auto match = [&](int32_t id) {
      const HVert& h = HVs[id];
      return (h.SmoothGroups & sg) != 0 && h.UV[0] == u && h.UV[1] == v && h.Mat == material &&
             ((h.SmoothGroups ^ sg) & kBackSide) == 0 && ix->HVBucketOf[id] == bucket;
    };
    int32_t id = -1;
    if (!hashed) {
      id = ix->SVFirstHV[sv];
    } else if (ix->Groups.Count) {
      id = *ix->Groups.Find(GroupHash(sv, u, v, material, sg, bucket), [&](int32_t i) {
        const HVert& h = HVs[i];
        return h.SV == sv && h.Mat == material && h.UV[0] == u && h.UV[1] == v &&
               ((h.SmoothGroups ^ sg) & kBackSide) == 0 && ix->HVBucketOf[i] == bucket;
      });
    }
    for (; id >= 0; id = ix->HVNext[id]) {
      if (match(id)) {
        HVs[id].SmoothGroups |= sg;
        return id;
      }
    }
  }

  if (NumHVs == MaxHVs) {
    HVert* grown = Doubled(HVs, MaxHVs);
    if (!report::Check(grown != nullptr, kHVsNoMemory)) return -1;
    HVs = grown;
    MaxHVs *= 2;
  }
  if (ix->HVCap < MaxHVs) {
    bool ok = Resize(ix->HVNext, MaxHVs) && Resize(ix->HVBucketOf, MaxHVs) &&
              Resize(ix->HVFirstTri, MaxHVs) && Resize(ix->HVTriCount, MaxHVs);
    if (!report::Check(ok, kHVIndexNoMemory)) return -1;
    ix->HVCap = MaxHVs;
  }

  const int32_t n = NumHVs;
  HVert& h = HVs[n];
  h.UV[0] = u;
  h.UV[1] = v;
  h.Mat = material;
  h.SV = sv;
  h.SmoothGroups = sg;
  h.TriRefCount = 0;
  ix->HVBucketOf[n] = static_cast<uint16_t>(bucket);
  ix->HVNext[n] = -1;
  ix->HVFirstTri[n] = -1;
  ix->HVTriCount[n] = 0;
  if (listed) {
    bool ok = true;
    if (!hashed && ix->SVHVCount[sv] + 1 >= kListMax) {
      // Oldest first, so that each group comes out newest first.
      int32_t ids[kListMax];
      int m = 0;
      for (int32_t id = ix->SVFirstHV[sv]; id >= 0; id = ix->HVNext[id]) ids[m++] = id;
      while (ok && m > 0) ok = GroupHV(ix->Groups, ix->HVNext, HVs, ix->HVBucketOf, ids[--m]);
      ix->SVHVCount[sv] = kHashed;
    }
    if (ok && (hashed || ix->SVHVCount[sv] == kHashed)) {
      ok = GroupHV(ix->Groups, ix->HVNext, HVs, ix->HVBucketOf, n);
    } else if (ok) {
      ix->HVNext[n] = ix->SVFirstHV[sv];
      ix->SVFirstHV[sv] = n;
      ++ix->SVHVCount[sv];
    }
    if (!report::Check(ok, kGroupNoMemory)) return -1;
  }
  NumHVs = n + 1;
  return n;
}

// ---- AddTri ---------------------------------------------------------------------

int Obj::AddTri(int a, int b, int c, uint32_t smoothGroups, int e0, int e1, int e2) {
  if (a == b || b == c || a == c) return 0;
  Index* ix = mIndex;
  if (!ix) return -1;
  if (a < 0 || a >= NumHVs || b < 0 || b >= NumHVs || c < 0 || c >= NumHVs) return -1;
  const int32_t sa = HVs[a].SV, sb = HVs[b].SV, sc = HVs[c].SV;
  if (sa == sb || sb == sc || sc == sa) return 0;
  if (sa < 0 || sa >= NumSVs || sb < 0 || sb >= NumSVs || sc < 0 || sc >= NumSVs) return -1;

  const int32_t bucket = TriBucket(a, b, c, e0, e1, e2, smoothGroups);
  auto hashOf = [&](int32_t id) {
    const Tri& t = Tris[id];
    return TriKeyHash(t.Pts[0], t.Pts[1], t.Pts[2], BucketOf(t));
  };
  auto sameKey = [&](int32_t a2, int32_t b2, int32_t c2, int32_t bucket2) {
    return [=, this](int32_t id) {
      const Tri& t = Tris[id];
      return t.Pts[0] == a2 && t.Pts[1] == b2 && t.Pts[2] == c2 && BucketOf(t) == bucket2;
    };
  };
  int32_t* slot = nullptr;
  if (ix->HVTriCount[a] != kHashed) {
    for (int32_t id = ix->HVFirstTri[a]; id >= 0; id = ix->TriNext[id]) {
      const Tri& t = Tris[id];
      if (t.Pts[1] == b && t.Pts[2] == c && BucketOf(t) == bucket) return 0;
    }
    if (ix->HVTriCount[a] + 1 >= kListMax) {
      // Too many to walk: the triangles of this first corner go to the set.
      bool ok = true;
      for (int32_t id = ix->HVFirstTri[a]; id >= 0 && ok; id = ix->TriNext[id]) {
        ok = ix->Tris.Reserve(hashOf);
        if (ok) {
          const Tri& t = Tris[id];
          *ix->Tris.Find(hashOf(id), sameKey(t.Pts[0], t.Pts[1], t.Pts[2], BucketOf(t))) = id;
          ++ix->Tris.Count;
        }
      }
      if (!report::Check(ok, kTriSetNoMemory)) return -1;
      ix->HVTriCount[a] = kHashed;
    }
  }
  if (ix->HVTriCount[a] == kHashed) {
    if (!report::Check(ix->Tris.Reserve(hashOf), kTriSetGrowNoMemory)) return -1;
    slot = ix->Tris.Find(TriKeyHash(a, b, c, bucket), sameKey(a, b, c, bucket));
    if (*slot >= 0) return 0;
  }

  if (NumTris == MaxTris) {
    Tri* grown = Doubled(Tris, MaxTris);
    if (!report::Check(grown != nullptr, kTrisNoMemory)) return -1;
    Tris = grown;
    MaxTris *= 2;
  }
  if (ix->TriCap < MaxTris) {
    if (!report::Check(Resize(ix->TriNext, MaxTris), kTriIndexNoMemory)) return -1;
    ix->TriCap = MaxTris;
  }
  const int32_t n = NumTris;
  Tri& t = Tris[n];
  t.Pts[0] = a;
  t.Pts[1] = b;
  t.Pts[2] = c;
  t.EdgeVis[0] = e0;
  t.EdgeVis[1] = e1;
  t.EdgeVis[2] = e2;
  t.SmoothGroups = smoothGroups;
  if (slot) {
    *slot = n;
    ++ix->Tris.Count;
  } else {
    ix->TriNext[n] = ix->HVFirstTri[a];
    ix->HVFirstTri[a] = n;
    ++ix->HVTriCount[a];
  }

  ++SVs[sa].TriRefCount;
  ++SVs[sb].TriRefCount;
  ++SVs[sc].TriRefCount;
  ++HVs[a].TriRefCount;
  ++HVs[b].TriRefCount;
  ++HVs[c].TriRefCount;
  NumTris = n + 1;
  return 0;
}

// ---- RemoveUnused -------------------------------------------------------------
//
// One pass per level with an old-to-new table. Removing one element at a time
// would report the first failing check in ascending element order; the checks
// are made up front in that order, and nothing is changed unless all pass.
// A reference outside 0..count-1 is renumbered as the one-at-a-time removal
// would: negative ones stay, larger ones drop by the number removed.

int Obj::RemoveUnused(Bones* bones) {
  delete mIndex;  // nothing is looked up any more
  mIndex = nullptr;

  // HVs.
  {
    const int32_t n = NumHVs;
    int32_t firstNeg = n, firstRef = n;
    for (int32_t i = 0; i < n; ++i)
      if (HVs[i].TriRefCount < 0) {
        firstNeg = i;
        break;
      }
    for (int32_t t = 0; t < NumTris; ++t)
      for (int k = 0; k < 3; ++k) {
        int32_t p = Tris[t].Pts[k];
        if (p >= 0 && p < firstRef && HVs[p].TriRefCount == 0) firstRef = p;
      }
    if (firstNeg < firstRef) return report::Check(false, kNegativeHVCount);
    if (firstRef < n) return report::Check(false, kTriNamesRemovedHV);
    alloc::Array<int32_t> remap = alloc::NewArray<int32_t>(n);
    if (!report::Check(remap != nullptr, kHVRemapNoMemory)) return 0;
    int32_t kept = 0;
    for (int32_t i = 0; i < n; ++i) {
      if (HVs[i].TriRefCount == 0) {
        remap[i] = -1;
        continue;
      }
      remap[i] = kept;
      if (kept != i) HVs[kept] = HVs[i];
      ++kept;
    }
    const int32_t removed = n - kept;
    if (removed) {
      for (int32_t t = 0; t < NumTris; ++t)
        for (int k = 0; k < 3; ++k) {
          int32_t& p = Tris[t].Pts[k];
          if (p >= n)
            p -= removed;
          else if (p >= 0)
            p = remap[p];
        }
    }
    NumHVs = kept;
  }

  // SVs, and with them the skin entries.
  {
    const int32_t n = NumSVs;
    int32_t firstNeg = n, firstZero = n, firstRef = n;
    for (int32_t s = 0; s < n; ++s) {
      if (SVs[s].TriRefCount < 0) {
        firstNeg = s;
        break;
      }
      if (SVs[s].TriRefCount == 0 && firstZero == n) firstZero = s;
    }
    for (int32_t h = 0; h < NumHVs; ++h) {
      int32_t s = HVs[h].SV;
      if (s >= 0 && s < firstRef && SVs[s].TriRefCount == 0) firstRef = s;
    }
    // At the first removal the skin count is checked before the HVs are
    // scanned for the removed SV.
    int32_t at = n;
    const report::Site* failed = nullptr;
    if (firstNeg < at) at = firstNeg, failed = &kNegativeSVCount;
    if (bones && bones->NumVertices != NumSVs && firstZero < at) at = firstZero, failed = &kSkinCount;
    if (firstRef < at) at = firstRef, failed = &kHVNamesRemovedSV;
    if (failed) return report::Check(false, *failed);
    if (firstZero == n) return 1;

    alloc::Array<int32_t> remap = alloc::NewArray<int32_t>(n);
    if (!report::Check(remap != nullptr, kSVRemapNoMemory)) return 0;
    int32_t kept = 0;
    for (int32_t s = 0; s < n; ++s) {
      if (SVs[s].TriRefCount == 0) {
        remap[s] = -1;
        continue;
      }
      remap[s] = kept;
      if (kept != s) SVs[kept] = SVs[s];
      ++kept;
    }
    if (bones) bones->Compact(remap.get(), n, kept);
    const int32_t removed = n - kept;
    for (int32_t h = 0; h < NumHVs; ++h) {
      int32_t& s = HVs[h].SV;
      if (s >= n)
        s -= removed;
      else if (s >= 0)
        s = remap[s];
    }
    NumSVs = kept;
  }
  return 1;
}
