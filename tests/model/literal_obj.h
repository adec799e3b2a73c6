// The mesh object model exactly as its rules read: fixed bucket-head tables
// walked through the Next chains, and compaction one element at a time. Slow
// on purpose; the tests hold Obj to it.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "model/obj.h"

// The records as the rules define them: each chained to the next element of
// its bucket.
struct LitSVert {
  Point3 Pos;
  int32_t TriRefCount;
  int32_t Next;
};
struct LitHVert {
  int32_t Next;
  float UV[2];
  int32_t Mat;
  int32_t SV;
  uint32_t SmoothGroups;
  int32_t TriRefCount;
};
struct LitTri {
  int32_t Pts[3];
  int32_t EdgeVis[3];
  uint32_t SmoothGroups;
  int32_t Next;
};

// The hash mixing one word after the other.
uint32_t LitMixHash(const uint32_t* words, int count);
// A weld-grid cell axis as the rules read: floor, then fmod by 65536 in double.
int32_t LitCellCoord(float scaled, double offset);
GridCell LitCellOf(const Point3& pos, float gridScale, double ox, double oy, double oz);

class LitObj {
 public:
  LitHVert* HVs;
  LitSVert* SVs;
  LitTri* Tris;
  int32_t NumHVs = 0;
  int32_t NumSVs = 0;
  int32_t NumTris = 0;
  MatLib mMatLib;
  int32_t MaxHVs = 16;
  int32_t MaxSVs = 16;
  int32_t MaxTris = 16;
  float Tolerance;
  float GridScale;
  int32_t* HVHash;
  int32_t* TriHash;
  int32_t* SVHash;

  explicit LitObj(float tolerance);
  LitObj(const LitObj&) = delete;
  LitObj& operator=(const LitObj&) = delete;
  ~LitObj();

  int AddSV(const Point3& pos);
  int GetMatIndex(Mtl* mat) { return mMatLib.Lookup(mat); }
  int AddHV(int sv, const Point3& uvw, int material, uint32_t smoothGroups);
  void AddTri(int a, int b, int c, uint32_t smoothGroups, int e0, int e1, int e2);
  int RemoveUnused(Bones* bones);
};

// Bit for bit: -0.0 against 0.0 and NaN payloads count.
inline bool SameBits(const void* a, const void* b, size_t n) {
  return std::memcmp(a, b, n) == 0;
}

inline bool Same(const SVert& a, const LitSVert& b) {
  return SameBits(&a.Pos, &b.Pos, sizeof a.Pos) && a.TriRefCount == b.TriRefCount;
}
inline bool Same(const HVert& a, const LitHVert& b) {
  return SameBits(a.UV, b.UV, sizeof a.UV) && a.Mat == b.Mat && a.SV == b.SV &&
         a.SmoothGroups == b.SmoothGroups && a.TriRefCount == b.TriRefCount;
}
inline bool Same(const Tri& a, const LitTri& b) {
  return SameBits(a.Pts, b.Pts, sizeof a.Pts) && SameBits(a.EdgeVis, b.EdgeVis, sizeof a.EdgeVis) &&
         a.SmoothGroups == b.SmoothGroups;
}

// What can be observed of the two: counts, capacities, every element and the
// material library. The literal's chains are its own way to the same answers.
inline void ExpectSame(const Obj& a, const LitObj& b) {
  ASSERT_EQ(a.NumSVs, b.NumSVs);
  ASSERT_EQ(a.NumHVs, b.NumHVs);
  ASSERT_EQ(a.NumTris, b.NumTris);
  EXPECT_EQ(a.MaxSVs, b.MaxSVs);
  EXPECT_EQ(a.MaxHVs, b.MaxHVs);
  EXPECT_EQ(a.MaxTris, b.MaxTris);
  for (int32_t i = 0; i < a.NumSVs; ++i) ASSERT_TRUE(Same(a.SVs[i], b.SVs[i])) << "SV " << i;
  for (int32_t i = 0; i < a.NumHVs; ++i) ASSERT_TRUE(Same(a.HVs[i], b.HVs[i])) << "HV " << i;
  for (int32_t i = 0; i < a.NumTris; ++i) ASSERT_TRUE(Same(a.Tris[i], b.Tris[i])) << "triangle " << i;
  ASSERT_EQ(a.mMatLib.NumMats, b.mMatLib.NumMats);
  for (int i = 0; i < a.mMatLib.NumMats; ++i) EXPECT_EQ(a.mMatLib.Mats[i], b.mMatLib.Mats[i]);
}
