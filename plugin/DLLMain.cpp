#include "plugin/DLLMain.h"

#include <cstring>
#include <memory>
#include <new>

#include "light/light.h"
#include "model/obj.h"
#include "plugin/assert.h"
#include "skin/bones.h"
#include "skin/notes.h"
#include "writer/saveobj.h"

// ---- Entry points ------------------------------------------------------------

namespace {
// Constructed at load time, before the host can ask for it.
MeshExportClassDesc g_classDesc;
}  // namespace

const char* LibDescription() { return "Tarnhold MAX plugin"; }
int LibNumberClasses() { return 1; }
ClassDesc* LibClassDesc(int i) { return i == 0 ? &g_classDesc : nullptr; }
uint32_t LibVersion() { return HOST_SDK_VERSION; }

// ---- Class descriptor ----------------------------------------------------------

int MeshExportClassDesc::IsPublic() { return 1; }
// The host casts the result to its exporter interface.
void* MeshExportClassDesc::Create(int) { return static_cast<SceneExport*>(new (std::nothrow) MeshExport); }
const char* MeshExportClassDesc::ClassName() { return "Tarnhold mesh exporter (non-hidden)"; }
SClass_ID MeshExportClassDesc::SuperClassID() { return SCENE_EXPORT_CLASS_ID; }
Class_ID MeshExportClassDesc::ClassID() { return MESHEXPORT_CLASS_ID; }
const char* MeshExportClassDesc::Category() { return "Scene Exporter"; }

// ---- Exporter --------------------------------------------------------------------

MeshExport::~MeshExport() = default;
int MeshExport::ExtCount() { return 1; }
const char* MeshExport::Ext(int n) {
  if (n < 1) return "thm";
  REPORT_FAILED("0");
  return nullptr;
}
const char* MeshExport::LongDesc() { return "Tarnhold Mesh"; }
const char* MeshExport::ShortDesc() { return "Tarnhold Mesh"; }
const char* MeshExport::AuthorName() { return "Tarnhold tools team"; }
const char* MeshExport::CopyrightMessage() { return "Copyright (C) Tarnhold tools team"; }
const char* MeshExport::OtherMessage1() { return ""; }
const char* MeshExport::OtherMessage2() { return ""; }
unsigned int MeshExport::Version() { return 101; }
void MeshExport::ShowAbout(HWND) {}
int MeshExport::DoExport(const char* name, ExpInterface* ei, Interface* i, int suppressPrompts) {
  return ExportScene(name, ei, i, suppressPrompts);
}

// ---- Export driver -----------------------------------------------------------------

int ExportScene(const char* name, ExpInterface* ei, Interface* i, int) {
  ResetExportFailure();
  FILE* file = name ? std::fopen(name, "wb") : nullptr;
  if (!file) return 0;
  return ExportToStream(file, ei, i);
}

int ExportToStream(FILE* file, ExpInterface* ei, Interface* i) {
  ResetExportFailure();
  SetAnimRange(i->GetAnimRange());
  ExportTreeProc proc;
  proc.File = file;
  ei->GetScene()->EnumTree(&proc);
  const bool reported = ExportFailed();
  // The last buffered bytes are written at the close: a full disk shows up only here.
  const bool closed = std::fclose(file) == 0;
  return reported || !closed ? 0 : 1;
}

namespace {

void GatherNotes(INode* node) {
  if (!node->HasNoteTracks()) return;
  // Counts are asked anew each round: the host owns the tracks.
  for (int i = 0; i < node->NumNoteTracks(); ++i) {
    NoteTrack* track = node->GetNoteTrack(i);
    if (!track || track->ClassID() != NOTETRACK_CLASS_ID) continue;
    for (int j = 0; j < track->NumKeys(); ++j)
      if (NoteKey* key = track->GetKey(j)) AddNote(key->time, key->note.data());
  }
}

}  // namespace

int ExportTreeProc::VisitNode(INode* node) {
  // A hidden node's children are still visited: each answers for itself.
  if (!node || node->IsNodeHidden(0, 0)) return TREE_CONTINUE;
  GatherNotes(node);
  Object* obj = node->EvalWorldState(0, 1).obj;
  if (obj) {
    if (obj->CanConvertToType(OMNI_LIGHT_CLASS_ID))
      ExportLightNode(node, obj, File, OMNI_LIGHT_CLASS_ID);
    else if (obj->CanConvertToType(SPOT_LIGHT_CLASS_ID))
      ExportLightNode(node, obj, File, SPOT_LIGHT_CLASS_ID);
    else if (obj->CanConvertToType(triObjectClassID))
      ExportMeshNode(node, obj, File);
  }
  // After a report the file is not whole: stop the walk.
  return ExportFailed() ? TREE_ABORT : TREE_CONTINUE;
}

int ExportLightNode(INode* node, Object* obj, FILE* file, Class_ID lightClass) {
  // The host keeps the converted object; a host that cannot convert after all gets no record.
  Object* converted = obj->ConvertToType(0, lightClass);
  if (!converted) return 0;
  if (SaveLight(static_cast<LightObject*>(converted), node, file) == -1) REPORT_FAILED("!\"Light save failed\"");
  return 0;
}

// ---- Mesh extraction ---------------------------------------------------------------

// Name of the last non-standard face material met while mapping texture
// coordinates during one BuildObj; the text belongs to the host.
const char* NonStdMtlName = nullptr;

int IsMultiMtl(Mtl* m) { return m && m->ClassID() == MULTI_CLASS_ID ? 1 : 0; }

Mtl* GetFaceMtl(Mtl* multi, int index) { return index < multi->NumSubMtls() ? multi->GetSubMtl(index) : nullptr; }

StdMat* AsStdMat(Mtl* m) { return m->ClassID() == DMTL_CLASS_ID ? static_cast<StdMat*>(m) : nullptr; }

void NegateYZ(Point3& p) {
  p.y = -p.y;
  p.z = -p.z;
}

Point3 MapTexCoord(const Point3& t, Mtl* fm) {
  if (!fm) return {0, 0, 0};
  StdMat* stdm = AsStdMat(fm);
  if (!stdm) {
    const char* name = fm->GetName();
    NonStdMtlName = name ? name : "";
    return t;
  }
  Texmap* map = stdm->GetSubTexmap(ID_DI);
  if (!map) return {0, 0, 0};
  Matrix3 uvt;
  map->GetUVTransform(uvt);
  Point3 q = uvt * t;
  float u = q.x;
  float v = 1.0f - q.y;
  if (map->ClassID() == BMTEX_CLASS_ID) {
    if (IParamBlock2* pb = static_cast<BitmapTex*>(map)->GetParamBlock(0)) {
      float c0 = pb->GetFloat(0, 0), c1 = pb->GetFloat(1, 0), c2 = pb->GetFloat(2, 0), c3 = pb->GetFloat(3, 0);
      // One rounding per result: the product of two floats is exact in double.
      u = static_cast<float>(double(u) * c2 + c0);
      v = static_cast<float>(double(v) * c3 + c1);
    }
  }
  return {u, v, q.z};
}

namespace {

// What one face material decides for its faces: material index, two sides,
// and how MapTexCoord maps its corners. The host's answers do not change
// during one BuildObj, so each face material is asked once.
struct FaceMtl {
  bool known = false;
  Mtl* fm = nullptr;
  bool twoSided = false;
  enum { kNone, kNonStd, kNoMap, kMap } mapping = kNone;
  const char* name = nullptr;  // of a non-standard material
  Matrix3 uvt;
  bool crop = false;
  float c0 = 0, c1 = 0, c2 = 0, c3 = 0;
};

void Resolve(FaceMtl& e, Mtl* fm) {
  e = FaceMtl{};
  e.known = true;
  e.fm = fm;
  if (!fm) return;
  StdMat* stdm = AsStdMat(fm);
  if (!stdm) {
    const char* name = fm->GetName();
    e.name = name ? name : "";
    e.mapping = FaceMtl::kNonStd;
    return;
  }
  e.twoSided = stdm->GetTwoSided() != 0;
  Texmap* map = stdm->GetSubTexmap(ID_DI);
  if (!map) {
    e.mapping = FaceMtl::kNoMap;
    return;
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
}

// MapTexCoord with the material's answers at hand.
Point3 MapCached(const Point3& t, const FaceMtl& e) {
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
    u = static_cast<float>(double(u) * e.c2 + e.c0);
    v = static_cast<float>(double(v) * e.c3 + e.c1);
  }
  return {u, v, q.z};
}

}  // namespace

int BuildObj(INode* node, TriObject* tobj, Obj* obj, Bones* bones) {
  NonStdMtlName = nullptr;
  const float s = static_cast<float>(GetMasterScale(0));
  const Matrix3 tm = node->GetObjectTM(0, nullptr);
  Mesh& mesh = tobj->GetMesh();
  const int num_verts = mesh.getNumVerts();
  const int num_faces = mesh.getNumFaces();

  std::unique_ptr<int[]> sv_lookup(new (std::nothrow) int[num_verts > 0 ? num_verts : 1]);
  if (CHECK_FAILED(sv_lookup && "Out of memory")) return 0;

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
  if (textured && CHECK_FAILED(num_tvfaces >= num_faces)) return 0;
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
    if (!e.known || !mtls) Resolve(e, multi ? GetFaceMtl(m, index) : m);
    const bool two_sided = e.twoSided;
    const int mi = obj->GetMatIndex(e.fm);
    if (mi < 0) return 0;

    int sv[3];
    for (int k = 0; k < 3; ++k) {
      if (CHECK_FAILED(face.v[k] >= 0 && face.v[k] < num_verts)) return 0;
      sv[k] = sv_lookup[face.v[k]];
    }
    const uint32_t sm = face.smGroup;
    const uint32_t back_sm = sm | 0x80000000u;
    int h[3], b[3];
    Point3 uv[3];
    if (textured) {
      const TVFace& tf = mesh.tvFace[static_cast<size_t>(f)];
      for (int k = 0; k < 3; ++k)
        if (CHECK_FAILED(tf.t[k] >= 0 && tf.t[k] < num_tverts)) return 0;
      // The back corners map to the same coordinates.
      for (int k = 0; k < 3; ++k) uv[k] = MapCached(mesh.tVerts[static_cast<size_t>(tf.t[k])], e);
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
    MessageBoxA(nullptr, "This material is not a max standard material.\nBut I'll export anyway", NonStdMtlName, MB_OK);
  return 1;
}

namespace {

// Writes the node's name byte by byte and its parent's name in one write.
void WriteNodeNames(INode* node, FILE* file) {
  const char* name = node->GetName();
  if (!name) name = "";
  for (const char* c = name;; ++c) {
    if (std::fputc(static_cast<unsigned char>(*c), file) == EOF) {
      REPORT_FAILED("!\"Couldn't write node name\"");
      return;
    }
    if (*c == '\0') break;
  }
  INode* parent = node->GetParentNode();
  const char* parent_name = parent ? parent->GetName() : nullptr;
  if (!parent_name) parent_name = "";
  size_t len = std::strlen(parent_name) + 1;
  if (std::fwrite(parent_name, 1, len, file) != len) REPORT_FAILED("!\"Couldn't write node parent name\"");
}

}  // namespace

int ExportMeshNode(INode* node, Object* object, FILE* file) {
  auto* tobj = static_cast<TriObject*>(object->ConvertToType(0, triObjectClassID));
  if (CHECK_FAILED(tobj && "Couldn't convert node to a triobject even though it said it could")) return 0;

  // Tolerance 1e-5 (float bits 0x3727C5AC): grid scale 25000.
  std::unique_ptr<Obj> obj(new (std::nothrow) Obj(0.00001f));
  if (!obj) {
    MarkExportFailed();
    return 0;
  }
  std::unique_ptr<Bones> bones(CreateBones(node));
  if (!BuildObj(node, tobj, obj.get(), bones.get())) return 0;
  if (!obj->RemoveUnused(bones.get())) return 0;

  std::unique_ptr<SaveObj> sobj(new (std::nothrow) SaveObj);
  if (!sobj || !sobj->Init(obj.get(), bones.get())) {
    // No memory for the writer: the node has no record, so the file is not whole.
    MarkExportFailed();
    return 0;
  }
  switch (sobj->FWrite(file)) {
    case 1:
      WriteNodeNames(node, file);
      break;
    case 0:  // no positions: the node leaves no trace
      break;
    case -1:
      REPORT_FAILED("!\"sobj->FWrite failed\"");
      break;
    default:
      REPORT_FAILED("0");
      break;
  }
  // Destroyed in this order: writer, object, skin data.
  sobj.reset();
  obj.reset();
  bones.reset();
  return 0;
}
