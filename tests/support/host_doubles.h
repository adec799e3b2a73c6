// Small stand-ins for host materials and texture maps, with plain fields.
#pragma once

#include <string>

#include "host/scene_api.h"

struct FakeBitmap : BitmapTex {
  std::string name;
  bool noName = false;  // GetMapName gives null
  int alpha = ALPHA_FILE;

  explicit FakeBitmap(std::string n, int a = ALPHA_FILE) : name(std::move(n)), alpha(a) {}
  Class_ID ClassID() override { return BMTEX_CLASS_ID; }
  void GetUVTransform(Matrix3& m) override { m = Matrix3(); }
  const char* GetMapName() override { return noName ? nullptr : name.c_str(); }
  int GetAlphaSource() override { return alpha; }
  IParamBlock2* GetParamBlock(int) override { return nullptr; }
};

// A texture map of another class than the bitmap.
struct FakeTexmap : Texmap {
  Class_ID ClassID() override { return Class_ID(0x64035FB9, 0x69664CDC); }
  void GetUVTransform(Matrix3& m) override { m = Matrix3(); }
};

struct FakeStdMat : StdMat {
  std::string name;
  bool noName = false;
  int twoSided = 0;
  int transparency = TRANSP_SUBTRACTIVE;
  float opacity = 1.0f;
  Texmap* maps[STD_NUM_SLOTS] = {};
  float amounts[STD_NUM_SLOTS] = {};

  explicit FakeStdMat(std::string n = "") : name(std::move(n)) {}
  Class_ID ClassID() override { return DMTL_CLASS_ID; }
  const char* GetName() override { return noName ? nullptr : name.c_str(); }
  int NumSubMtls() override { return 0; }
  Mtl* GetSubMtl(int) override { return nullptr; }
  int GetTwoSided() override { return twoSided; }
  int GetTransparencyType() override { return transparency; }
  float GetOpacity(TimeValue) override { return opacity; }
  Texmap* GetSubTexmap(int slot) override { return slot >= 0 && slot < STD_NUM_SLOTS ? maps[slot] : nullptr; }
  float GetTexmapAmt(int slot, TimeValue) override {
    return slot >= 0 && slot < STD_NUM_SLOTS ? amounts[slot] : 0;
  }
};

// Any material that is not the standard one.
struct FakeMtl : Mtl {
  Class_ID id;
  explicit FakeMtl(Class_ID i = MULTI_CLASS_ID) : id(i) {}
  Class_ID ClassID() override { return id; }
  const char* GetName() override { return "other"; }
  int NumSubMtls() override { return 0; }
  Mtl* GetSubMtl(int) override { return nullptr; }
};
