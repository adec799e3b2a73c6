#include "tests/writer/literal_saveobj.h"

// The literal writer reports with the writer's texts.
#define CHECK_FAILED(cond) (!(cond) && (report::Show({#cond, "writer/saveobj.cpp", 0}), true))

#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

#include "context/report.h"
#include "host/scene_api.h"
#include "model/obj.h"
#include "skin/bones.h"

static bool NearUnit(const Point3& n) {
  return std::fabs(std::sqrt(double(n.x) * n.x + double(n.y) * n.y + double(n.z) * n.z) - 1.0) <= 1e-5;
}

static Point3 InDouble(double x, double y, double z) {
  double len = std::sqrt(x * x + y * y + z * z);
  if (!(len > 0) || !std::isfinite(len)) return Point3(0, 0, 0);
  return Point3(float(x / len), float(y / len), float(z / len));
}

int LitSaveObj::Init(Obj* obj, Bones* bones) {
  mObj = obj;
  mBones = bones;
  mHVs.assign(obj->NumHVs, SaveObj::HV{0, Point3(0, 0, 0)});
  mTris.assign(obj->NumTris, SaveObj::Tri{Point3(0, 0, 0)});
  for (int t = 0; t < obj->NumTris; ++t) {
    const Tri& tri = obj->Tris[t];
    Point3 p0 = obj->SVs[obj->HVs[tri.Pts[0]].SV].Pos, p1 = obj->SVs[obj->HVs[tri.Pts[1]].SV].Pos,
           p2 = obj->SVs[obj->HVs[tri.Pts[2]].SV].Pos;
    Point3 n = CrossProd(p1 - p0, p2 - p0);
    float len = Length(n);
    mTris[t].Normal = len == 0.0f ? Point3(0, 0, 0) : n / len;
    // Where float arithmetic overflowed or lost its precision: in double.
    if ((len != 0.0f && !NearUnit(mTris[t].Normal)) || (len == 0.0f && !(n == Point3(0, 0, 0)))) {
      double a[3] = {double(p1.x) - p0.x, double(p1.y) - p0.y, double(p1.z) - p0.z};
      double b[3] = {double(p2.x) - p0.x, double(p2.y) - p0.y, double(p2.z) - p0.z};
      mTris[t].Normal =
          InDouble(a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]);
    }
  }
  for (int i = 0; i < obj->NumHVs; ++i) {
    const Point3& cur = mHVs[i].Normal;
    if (cur.x != 0.0f || cur.y != 0.0f || cur.z != 0.0f) continue;
    Point3 sum(0, 0, 0);
    std::vector<int> sharing;  // grows past the 50 entries of old
    bool found = false;
    const int S = obj->HVs[i].SV;
    const uint32_t G = obj->HVs[i].SmoothGroups;
    for (int t = 0; t < obj->NumTris; ++t) {
      const Tri& tri = obj->Tris[t];
      for (int k = 0; k < 3; ++k) {
        int h = tri.Pts[k];
        if (h == i || (obj->HVs[h].SV == S && (tri.SmoothGroups & G) != 0 &&
                       (tri.SmoothGroups & 0x80000000u) == (G & 0x80000000u))) {
          found = true;
          sum += mTris[t].Normal;
          sharing.push_back(h);
          break;
        }
      }
    }
    float len = Length(sum);
    if (len == 0.0f || std::isnan(len)) {
      if (!found) {
        CHECK_FAILED(0);
        return 0;
      }
      sum = Point3(0, 0, 1);
    }
    Point3 n = sum / Length(sum);
    if (!NearUnit(n)) n = InDouble(sum.x, sum.y, sum.z);
    mHVs[i].Normal = n;
    for (int h : sharing) mHVs[h].Normal = n;
  }
  return 1;
}

namespace {

bool Put(FILE* f, const void* p, size_t n) {
  return std::fwrite(p, 1, n, f) == n;
}
bool PutU8(FILE* f, int v) {
  unsigned char b = static_cast<unsigned char>(v);
  return Put(f, &b, 1);
}
bool PutI32(FILE* f, int32_t v) {
  return Put(f, &v, 4);
}
bool PutF32(FILE* f, float v) {
  return Put(f, &v, 4);
}

// One map field of the long header; -1 on a failed write.
int PutMap(FILE* f, StdMat* m, int slot, bool amount) {
  Texmap* map = m->GetSubTexmap(slot);
  if (map && map->ClassID() == Class_ID(0x240, 0)) {
    CStr file;
    SplitPathFile(CStr(static_cast<BitmapTex*>(map)->GetMapName()), nullptr, &file);
    if (file.Length() > 0) {
      if (!Put(f, file.data(), file.Length() + 1)) return -1;
      if (amount && !PutF32(f, m->GetTexmapAmt(slot, 0))) return -1;
      return 1;
    }
  }
  return PutU8(f, 1) ? 1 : -1;
}

}  // namespace

int LitSaveObj::FWrite(FILE* f) {
  Obj* o = mObj;
  if (o->NumSVs == 0) return 0;
  if (!PutU8(f, 8) || !PutU8(f, 0) || !PutI32(f, o->NumSVs)) return -1;
  for (int s = 0; s < o->NumSVs; ++s)
    if (!PutF32(f, o->SVs[s].Pos.x) || !PutF32(f, o->SVs[s].Pos.y) || !PutF32(f, o->SVs[s].Pos.z)) return -1;
  int skin = mBones && mBones->HasVertices();
  if (!PutU8(f, skin)) return -1;
  if (skin) {
    RecordWriter out(f);
    if (mBones->Write(out) == -1 || !out.Flush()) return -1;
  }
  if (!PutI32(f, o->mMatLib.NumMats)) return -1;
  for (int i = 0; i < o->mMatLib.NumMats; ++i) {
    Mtl* m = o->mMatLib.Mats[i];
    if (!m || m->ClassID() != Class_ID(2, 0)) {
      if (!PutU8(f, 0)) return -1;
    } else {
      StdMat* sm = static_cast<StdMat*>(m);
      int flags = 0;
      int tt = sm->GetTransparencyType();
      if (tt == 1) flags = 2;
      if (tt == 2) flags = 1;
      std::string name = sm->GetName() ? sm->GetName() : "";
      if (name.size() >= 3) {
        std::string end = name.substr(name.size() - 3);
        for (char& c : end) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (end == "_VR") flags |= 8;
      }
      if (PutMap(f, sm, 1, false) < 0) return -1;
      Texmap* d = sm->GetSubTexmap(1);
      if ((flags & 3) == 1 && d && d->ClassID() == Class_ID(0x240, 0) &&
          static_cast<BitmapTex*>(d)->GetAlphaSource() == 3)
        flags &= ~3;
      if (!Put(f, name.c_str(), name.size() + 1)) return -1;
      if (PutMap(f, sm, 9, true) < 0 || PutMap(f, sm, 5, true) < 0) return -1;
      if (sm->GetTwoSided()) flags |= 4;
      if (!PutU8(f, flags) || !PutF32(f, sm->GetOpacity(0))) return -1;
    }
    int count = 0;
    for (int h = 0; h < o->NumHVs; ++h)
      if (o->HVs[h].Mat == i) mHVs[h].LocalIndex = count++;
    if (!PutI32(f, count)) return -1;
    for (int h = 0; h < o->NumHVs; ++h) {
      if (o->HVs[h].Mat != i) continue;
      const Point3& n = mHVs[h].Normal;
      if (!PutI32(f, o->HVs[h].SV) || !PutF32(f, o->HVs[h].UV[0]) || !PutF32(f, o->HVs[h].UV[1]) ||
          !PutF32(f, n.x) || !PutF32(f, n.y) || !PutF32(f, n.z))
        return -1;
    }
    int tris = 0;
    for (int t = 0; t < o->NumTris; ++t) tris += o->HVs[o->Tris[t].Pts[0]].Mat == i;
    if (!PutI32(f, tris)) return -1;
    for (int ti = 0; ti < o->NumTris; ++ti) {
      const Tri& t = o->Tris[ti];
      if (o->HVs[t.Pts[0]].Mat != i) continue;
      if (CHECK_FAILED(mObj->HVs[t.Pts[1]].Mat == i)) return -1;
      if (CHECK_FAILED(mObj->HVs[t.Pts[2]].Mat == i)) return -1;
      for (int k = 0; k < 3; ++k) {
        uint32_t word = static_cast<uint32_t>(mHVs[t.Pts[k]].LocalIndex);
        if (t.EdgeVis[k]) word |= 0x80000000u;
        if (!Put(f, &word, 4)) return -1;
      }
      const Point3& n = mTris[ti].Normal;
      if (!PutF32(f, n.x) || !PutF32(f, n.y) || !PutF32(f, n.z)) return -1;
    }
  }
  return 1;
}
