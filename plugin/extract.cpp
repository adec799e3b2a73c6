#include "plugin/extract.h"

#include <memory>
#include <new>

#include "context/alloc.h"
#include "context/report.h"
#include "host/platform.h"
#include "model/obj.h"
#include "skin/bones.h"

namespace {

// The extraction's reports name the plug-in shell, where it has always lived.
constexpr const char* kSource = "plugin/DLLMain.cpp";
constexpr report::Site kLookupNoMemory{"sv_lookup && \"Out of memory\"", kSource, 241};
constexpr report::Site kTooFewTVFaces{"num_tvfaces >= num_faces", kSource, 267};
constexpr report::Site kVertexRange{"face.v[k] >= 0 && face.v[k] < num_verts", kSource, 289};
constexpr report::Site kTVertexRange{"tf.t[k] >= 0 && tf.t[k] < num_tverts", kSource, 299};

// What one face material decides for its faces: material index, two sides,
// and how its corners' texture coordinates map. The host's answers do not
// change during one BuildObj, so each face material is asked once.
struct FaceMtl {
  bool known = false;
  Mtl* fm = nullptr;
  bool twoSided = false;
  enum { kNone, kNonStd, kNoMap, kMap } mapping = kNone;
  const char* name = nullptr;  // of a non-standard material
  Matrix3 uvt;
  bool crop = false;
  float c0 = 0, c1 = 0, c2 = 0, c3 = 0;

  TARN_SEAM_ALLOCATED
};

FaceMtl Resolve(Mtl* fm) {
  FaceMtl e;
  e.known = true;
  e.fm = fm;
  if (!fm) return e;
  StdMat* stdm = AsStdMat(fm);
  if (!stdm) {
    const char* name = fm->GetName();
    e.name = name ? name : "";
    e.mapping = FaceMtl::kNonStd;
    return e;
  }
  e.twoSided = stdm->GetTwoSided() != 0;
  Texmap* map = stdm->GetSubTexmap(ID_DI);
  if (!map) {
    e.mapping = FaceMtl::kNoMap;
    return e;
  }
  e.mapping = FaceMtl::kMap;
  map->GetUVTransform(e.uvt);
  if (map->ClassID() == BMTEX_CLASS_ID) {
    if (IParamBlock2* pb = static_cast<BitmapTex*>(map)->GetParamBlock(0)) {
      e.crop = true;
      e.c0 = pb->GetFloat(0, 0);
      e.c1 = pb->GetFloat(1, 0);
      e.c2 = pb->GetFloat(2, 0);
      e.c3 = pb->GetFloat(3, 0);
    }
  }
  return e;
}

// The texture-coordinate rule, with the material's answers at hand.
Point3 Map(const Point3& t, const FaceMtl& e) {
  switch (e.mapping) {
    case FaceMtl::kNone:
    case FaceMtl::kNoMap:
      return {0, 0, 0};
    case FaceMtl::kNonStd:
      NonStdMtlName = e.name;
      return t;
    case FaceMtl::kMap:
      break;
  }
  const Point3 q = e.uvt * t;
  float u = q.x;
  float v = 1.0f - q.y;
  if (e.crop) {
    // One rounding per result: the product of two floats is exact in double.
    u = static_cast<float>(double(u) * e.c2 + e.c0);
    v = static_cast<float>(double(v) * e.c3 + e.c1);
  }
  return {u, v, q.z};
}

}  // namespace

// Name of the last non-standard face material met while mapping texture
// coordinates during one BuildObj; the text belongs to the host.
const char* NonStdMtlName = nullptr;

int IsMultiMtl(Mtl* m) {
  return m && m->ClassID() == MULTI_CLASS_ID ? 1 : 0;
}

Mtl* GetFaceMtl(Mtl* multi, int index) {
  return index < multi->NumSubMtls() ? multi->GetSubMtl(index) : nullptr;
}

StdMat* AsStdMat(Mtl* m) {
  return m->ClassID() == DMTL_CLASS_ID ? static_cast<StdMat*>(m) : nullptr;
}

void NegateYZ(Point3& p) {
  p.y = -p.y;
  p.z = -p.z;
}

Point3 MapTexCoord(const Point3& t, Mtl* fm) {
  return Map(t, Resolve(fm));
}

int BuildObj(INode* node, TriObject* tobj, Obj* obj, Bones* bones) {
  NonStdMtlName = nullptr;
  const float s = static_cast<float>(GetMasterScale(0));
  const Matrix3 tm = node->GetObjectTM(0, nullptr);
  Mesh& mesh = tobj->GetMesh();
  const int num_verts = mesh.getNumVerts();
  const int num_faces = mesh.getNumFaces();

  alloc::Array<int> sv_lookup = alloc::NewArray<int>(num_verts > 0 ? num_verts : 1);
  if (!report::Check(sv_lookup != nullptr, kLookupNoMemory)) return 0;

  // Welded in runs, so that the object model can look ahead.
  if (obj->ReserveSVs(num_verts) < 0) return 0;
  constexpr int kRun = 256;
  Point3 run[kRun];
  for (int i0 = 0; i0 < num_verts; i0 += kRun) {
    const int n = num_verts - i0 < kRun ? num_verts - i0 : kRun;
    for (int i = 0; i < n; ++i) {
      Point3 p = tm * mesh.verts[static_cast<size_t>(i0 + i)];
      p.x *= s;
      p.y *= s;
      p.z *= s;
      NegateYZ(p);
      run[i] = p;
    }
    if (obj->AddSVs(run, n, sv_lookup.get() + i0) < 0) return 0;
  }

  if (bones && !bones->BuildRefs(obj->NumSVs, num_verts, sv_lookup.get())) return 0;

  Mtl* m = node->GetMtl();
  const int multi = IsMultiMtl(m);
  const int num_tverts = mesh.getNumTVerts();
  const int num_tvfaces = static_cast<int>(mesh.tvFace.size());
  const bool textured = num_tvfaces > 0 && num_tverts > 0;
  if (textured && !report::Check(num_tvfaces >= num_faces, kTooFewTVFaces)) return 0;
  const int parity = tm.Parity();

  // One entry per sub-material of a multi material and one for the indices
  // past them (no material), else one for all faces. Without memory for
  // them, one entry is asked anew for every face.
  const int subs = multi ? m->NumSubMtls() : 0;
  const int entries = multi ? (subs > 0 ? subs : 0) + 1 : 1;
  std::unique_ptr<FaceMtl[]> mtls(new (std::nothrow) FaceMtl[static_cast<size_t>(entries)]);
  FaceMtl scratch;

  for (int f = 0; f < num_faces; ++f) {
    const Face& face = mesh.faces[static_cast<size_t>(f)];
    const int index = multi ? mesh.getFaceMtlIndex(f) : 0;
    FaceMtl& e = mtls ? mtls[index < entries - 1 ? index : entries - 1] : scratch;
    if (!e.known || !mtls) e = Resolve(multi ? GetFaceMtl(m, index) : m);
    const bool two_sided = e.twoSided;
    const int mi = obj->GetMatIndex(e.fm);
    if (mi < 0) return 0;

    int sv[3];
    for (int k = 0; k < 3; ++k) {
      if (!report::Check(face.v[k] >= 0 && face.v[k] < num_verts, kVertexRange)) return 0;
      sv[k] = sv_lookup[face.v[k]];
    }
    const uint32_t sm = face.smGroup;
    const uint32_t back_sm = sm | kBackSide;
    int h[3], b[3];
    Point3 uv[3];
    if (textured) {
      const TVFace& tf = mesh.tvFace[static_cast<size_t>(f)];
      for (int k = 0; k < 3; ++k)
        if (!report::Check(tf.t[k] >= 0 && tf.t[k] < num_tverts, kTVertexRange)) return 0;
      // The back corners map to the same coordinates.
      for (int k = 0; k < 3; ++k) uv[k] = Map(mesh.tVerts[static_cast<size_t>(tf.t[k])], e);
    }
    for (int k = 0; k < 3; ++k)
      if ((h[k] = obj->AddHV(sv[k], uv[k], mi, sm)) < 0) return 0;
    if (two_sided)
      for (int k = 0; k < 3; ++k)
        if ((b[k] = obj->AddHV(sv[k], uv[k], mi, back_sm)) < 0) return 0;

    // Edge values stay masked, not reduced to 0 or 1; each moves with its corner.
    const int e0 = static_cast<int>(face.flags & 1), e1 = static_cast<int>(face.flags & 2),
              e2 = static_cast<int>(face.flags & 4);
    int r = 0;
    if (!parity) {
      r = obj->AddTri(h[0], h[1], h[2], sm, e0, e1, e2);
      if (r >= 0 && two_sided) r = obj->AddTri(b[0], b[2], b[1], back_sm, e0, e2, e1);
    } else {
      r = obj->AddTri(h[0], h[2], h[1], sm, e0, e2, e1);
      if (r >= 0 && two_sided) r = obj->AddTri(b[0], b[1], b[2], back_sm, e0, e1, e2);
    }
    if (r < 0) return 0;
  }
  sv_lookup.reset();

  if (NonStdMtlName)
    MessageBoxA(nullptr, "This material is not a max standard material.\nBut I'll export anyway",
                NonStdMtlName, MB_OK);
  return 1;
}
