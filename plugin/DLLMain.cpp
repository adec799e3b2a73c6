#include "plugin/DLLMain.h"

#include <new>

#include "light/light.h"
#include "plugin/assert.h"
#include "skin/notes.h"

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
// Placeholder until mesh extraction lands: a mesh node writes nothing.

int ExportMeshNode(INode*, Object*, FILE*) { return 0; }
