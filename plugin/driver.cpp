#include "plugin/driver.h"

#include <memory>
#include <new>

#include "light/light.h"
#include "model/obj.h"
#include "plugin/extract.h"
#include "skin/bones.h"
#include "skin/notes.h"
#include "writer/saveobj.h"

namespace {

// The driver's reports name the plug-in shell, as they always have.
constexpr const char* kSource = "plugin/DLLMain.cpp";
constexpr report::Site kLightFailed{"!\"Light save failed\"", kSource, 114};
constexpr report::Site kNodeNameFailed{"!\"Couldn't write node name\"", kSource, 337};
constexpr report::Site kParentNameFailed{"!\"Couldn't write node parent name\"", kSource, 346};
constexpr report::Site kNoTriObject{
    "tobj && \"Couldn't convert node to a triobject even though it said it could\"", kSource, 353};
constexpr report::Site kObjectFailed{"!\"sobj->FWrite failed\"", kSource, 378};
constexpr report::Site kUnknownResult{"0", kSource, 381};

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

// The node's name and its parent's, each answering for its own write.
void WriteNodeNames(INode* node, RecordWriter& out) {
  if (!out.Str(node->GetName()) || !out.Flush()) {
    report::Show(kNodeNameFailed);
    return;
  }
  INode* parent = node->GetParentNode();
  if (!out.Str(parent ? parent->GetName() : nullptr) || !out.Flush()) report::Show(kParentNameFailed);
}

}  // namespace

int ExportScene(const char* name, ExpInterface* ei, Interface* i, int) {
  FILE* file = name ? std::fopen(name, "wb") : nullptr;
  if (!file) return 0;
  // Large records go out in few writes; the bytes are the same either way.
  std::setvbuf(file, nullptr, _IOFBF, 1 << 18);
  return ExportToStream(file, ei, i);
}

int ExportToStream(FILE* file, ExpInterface* ei, Interface* i) {
  report::ExportStatus status;
  RecordWriter out(file);
  SetAnimRange(i->GetAnimRange());
  ExportTreeProc proc(out, status);
  ei->GetScene()->EnumTree(&proc);
  const bool written = out.Flush();
  // The last buffered bytes are written at the close: a full disk shows up only here.
  const bool closed = std::fclose(file) == 0;
  return status.Failed() || !written || !closed ? 0 : 1;
}

int ExportTreeProc::VisitNode(INode* node) {
  // A hidden node's children are still visited: each answers for itself.
  if (!node || node->IsNodeHidden(0, 0)) return TREE_CONTINUE;
  GatherNotes(node);
  Object* obj = node->EvalWorldState(0, 1).obj;
  if (obj) {
    if (obj->CanConvertToType(OMNI_LIGHT_CLASS_ID))
      ExportLightNode(node, obj, *Out, OMNI_LIGHT_CLASS_ID);
    else if (obj->CanConvertToType(SPOT_LIGHT_CLASS_ID))
      ExportLightNode(node, obj, *Out, SPOT_LIGHT_CLASS_ID);
    else if (obj->CanConvertToType(triObjectClassID))
      ExportMeshNode(node, obj, *Out);
  }
  // After a failure the file is not whole: stop the walk.
  return Status->Failed() ? TREE_ABORT : TREE_CONTINUE;
}

int ExportLightNode(INode* node, Object* obj, RecordWriter& out, Class_ID lightClass) {
  // The host keeps the converted object; a host that cannot convert after all gets no record.
  Object* converted = obj->ConvertToType(0, lightClass);
  if (!converted) return 0;
  if (SaveLight(static_cast<LightObject*>(converted), node, out) == -1) report::Show(kLightFailed);
  return 0;
}

int ExportMeshNode(INode* node, Object* object, RecordWriter& out) {
  auto* tobj = static_cast<TriObject*>(object->ConvertToType(0, triObjectClassID));
  if (!report::Check(tobj != nullptr, kNoTriObject)) return 0;

  // Tolerance 1e-5 (float bits 0x3727C5AC): grid scale 25000.
  std::unique_ptr<Obj> obj(new (std::nothrow) Obj(0.00001f));
  if (!obj) {
    report::MarkExportFailed();
    return 0;
  }
  std::unique_ptr<Bones> bones(CreateBones(node));
  if (!BuildObj(node, tobj, obj.get(), bones.get())) return 0;
  if (!obj->RemoveUnused(bones.get())) return 0;

  std::unique_ptr<SaveObj> sobj(new (std::nothrow) SaveObj);
  if (!sobj || !sobj->Init(obj.get(), bones.get())) {
    // No memory for the writer: the node has no record, so the file is not whole.
    report::MarkExportFailed();
    return 0;
  }
  switch (sobj->FWrite(out)) {
    case 1:
      WriteNodeNames(node, out);
      break;
    case 0:  // no positions: the node leaves no trace
      break;
    case -1:
      report::Show(kObjectFailed);
      break;
    default:
      report::Show(kUnknownResult);
      break;
  }
  // Destroyed in this order: writer, object, skin data.
  sobj.reset();
  obj.reset();
  bones.reset();
  return 0;
}
