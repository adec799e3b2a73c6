// The mesh object model exactly as its rules read: fixed bucket-head tables
// walked through the Next chains, and compaction one element at a time. Slow
// on purpose; the tests hold Obj to it.
#pragma once

#include "model/obj.h"

// The hash mixing one word after the other.
uint32_t LitMixHash(const uint32_t* words, int count);
// A weld-grid cell axis as the rules read: floor, then fmod by 65536 in double.
int32_t LitCellCoord(float scaled, double offset);
GridCell LitCellOf(const Point3& pos, float gridScale, double ox, double oy, double oz);

class LitObj {
 public:
  HVert* HVs;
  SVert* SVs;
  Tri* Tris;
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
