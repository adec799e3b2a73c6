// The object writer exactly as its rules read: a triangle scan per vertex
// normal, a scan of all vertices and triangles per material section, and one
// fwrite per field. Slow on purpose; the tests hold SaveObj to it.
#pragma once

#include <cstdio>
#include <vector>

#include "writer/saveobj.h"

class LitSaveObj {
 public:
  std::vector<SaveObj::HV> mHVs;
  std::vector<SaveObj::Tri> mTris;
  Obj* mObj = nullptr;
  Bones* mBones = nullptr;

  int Init(Obj* obj, Bones* bones);
  int FWrite(FILE* file);
};
