#include "skin/bones.h"

#include <climits>
#include <cstring>
#include <new>

#include "context/report.h"
#include "format/thm_format.h"
#include "skin/notes.h"

namespace {

constexpr const char* kSource = "skin/bones.cpp";
// Each report as users have seen it: the condition, and the line it names.
constexpr report::Site kBuiltTwice{"!Vertices", kSource, 98};
constexpr report::Site kNoSVs{"num_svs", kSource, 100};
constexpr report::Site kEntriesNoMemory{"!\"Out of memory\"", kSource, 106};
constexpr report::Site kBadCounts{"wa->nb >= 0 && wa->nv >= 0", kSource, 118};
constexpr report::Site kRowCount{"wa->nv == num_orig_vs", kSource, 119};
constexpr report::Site kTableTooLarge{"int64_t{wa->nv} * wa->nb <= INT32_MAX", kSource, 120};
constexpr report::Site kLookupRange{"lookup[i] >= 0 && lookup[i] < NumVertices", kSource, 126};
constexpr report::Site kRefNoMemory{"ref", kSource, 134};
constexpr report::Site kDefaultRefNoMemory{"ref", kSource, 139};
constexpr report::Site kNoBoneNode{"node && \"Bone node not found\"", kSource, 148};
constexpr report::Site kTableNoMemory{"!\"Out of memory\"", kSource, 167};
constexpr report::Site kTooManyFrames{"numframes <= INT32_MAX", kSource, 186};
constexpr report::Site kFrameCount{"numframes == 0", kSource, 196};
constexpr report::Site kNoRefs{"Vertices[i].Refs && \"There must be at least one ref per vertex\"", kSource,
                               199};
constexpr report::Site kUnsetBone{"ref->BoneID != -1", kSource, 201};
constexpr report::Site kNotesFailed{"!\"Couldn't save remaining notes\"", kSource, 209};

// Shows the report after the bytes before it reached the file; a write that
// failed there is the failure instead, as it came first.
int Fail(RecordWriter& out, const report::Site& site) {
  if (out.Flush()) report::Show(site);
  return -1;
}

bool PutExtra(RecordWriter& out, const BoneInfo& info) {
  return out.U32(info.Extra[0]) && out.U32(info.Extra[1]) && out.U32(info.Extra[2]);
}

// A record as the exporter hands it to the modifier: links unset.
BoneInfo Query(::Modifier* modifier, int32_t time, int32_t index) {
  BoneInfo info{};
  info.Time = time;
  info.Index = index;
  info.Parent = info.Sibling = info.Child = -1;
  modifier->Command(SKIN_CMD_BONE, &info);
  return info;
}

void FreeRefs(BoneRef* ref) {
  while (ref) {
    BoneRef* next = ref->Next;
    delete ref;
    ref = next;
  }
}

// Links each bone under the first bone whose node is its node's direct parent;
// children run in ascending index order.
void RebuildTree(BoneInfo* info, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    INode* node = GetINodeByHandle(info[i].Node);
    INode* parent = node ? node->GetParentNode() : nullptr;
    if (!parent) continue;
    const uint32_t handle = parent->GetHandle();
    int32_t j = 0;
    while (j < count && info[j].Node != handle) ++j;
    if (j == count) continue;  // the parent node is no bone: a root
    info[i].Parent = j;
    int32_t* at = &info[j].Child;
    while (*at != -1 && *at < i) at = &info[*at].Sibling;
    info[i].Sibling = *at;
    *at = i;
  }
}

}  // namespace

BoneVertex::~BoneVertex() {
  FreeRefs(Refs);
}

Bones::~Bones() {
  delete[] Vertices;
}

void Bones::RemoveVertex(int k) {
  // Without a weight table only the count follows the SVs, so the caller's
  // check NumVertices == NumSVs holds either way.
  if (!Vertices) {
    --NumVertices;
    return;
  }
  BoneRef* dropped = Vertices[k].Refs;
  for (int i = k; i + 1 < NumVertices; ++i) Vertices[i].Refs = Vertices[i + 1].Refs;
  Vertices[NumVertices - 1].Refs = nullptr;
  --NumVertices;
  FreeRefs(dropped);
}

void Bones::Compact(const int32_t* remap, int32_t count, int32_t kept) {
  NumVertices -= count - kept;  // the count follows even without entries
  if (!Vertices) return;
  for (int32_t s = 0; s < count; ++s) {
    BoneRef* refs = Vertices[s].Refs;
    Vertices[s].Refs = nullptr;
    if (remap[s] < 0)
      FreeRefs(refs);
    else
      Vertices[remap[s]].Refs = refs;
  }
}

int Bones::BuildRefs(int num_svs, int num_orig_vs, const int* lookup) {
  if (!report::Check(!Vertices, kBuiltTwice)) return 0;
  if (num_svs <= 0) {  // a negative count cannot size the array either
    report::Show(kNoSVs);
    return 0;
  }
  NumVertices = num_svs;
  Vertices = new (std::nothrow) BoneVertex[static_cast<size_t>(num_svs)];
  if (!report::Check(Vertices != nullptr, kEntriesNoMemory)) return 0;

  WeightArray* wa = nullptr;
  Modifier->Command(SKIN_CMD_WEIGHTS, &wa);
  if (!wa) {  // no table: the node goes out without skin
    delete[] Vertices;
    Vertices = nullptr;
    return 1;
  }
  // The table's size comes from the modifier: never index past what its counts allow.
  if (!report::Check(wa->nb >= 0 && wa->nv >= 0, kBadCounts)) return 0;
  if (!report::Check(wa->nv == num_orig_vs, kRowCount)) return 0;
  if (!report::Check(int64_t{wa->nv} * wa->nb <= INT32_MAX, kTableTooLarge)) return 0;
  NumBones = wa->nb;
  // No bones: nothing a reference could name. The node goes out without skin,
  // as without a table, instead of naming bone 0 of none.
  if (wa->nb == 0) {
    delete[] Vertices;
    Vertices = nullptr;
    return 1;
  }

  const int32_t nb = wa->nb;
  const float* weights = wa->weights();
  for (int i = 0; i < num_orig_vs; ++i) {
    if (!report::Check(lookup[i] >= 0 && lookup[i] < NumVertices, kLookupRange)) return 0;
    BoneVertex& entry = Vertices[lookup[i]];
    if (entry.Refs) continue;  // the lowest host vertex of an SV decides its references
    const float* row = weights + static_cast<size_t>(i) * static_cast<size_t>(nb);
    for (int32_t j = 0; j < nb; ++j) {
      const float w = row[j];
      if (!(w < 0.0f || w > 0.0f)) continue;  // 0.0 of either sign, or not a number
      BoneRef* ref = new (std::nothrow) BoneRef{j, w, entry.Refs};
      if (!report::Check(ref != nullptr, kRefNoMemory)) return 0;
      entry.Refs = ref;
    }
    if (!entry.Refs) {
      BoneRef* ref = new (std::nothrow) BoneRef{0, 1.0f, nullptr};
      if (!report::Check(ref != nullptr, kDefaultRefNoMemory)) return 0;
      entry.Refs = ref;
    }
  }
  return 1;
}

int WriteMatrix(RecordWriter& out, const BoneInfo& record) {
  INode* node = GetINodeByHandle(record.Node);
  if (!node) return Fail(out, kNoBoneNode);
  Matrix3 m = node->GetNodeTM(record.Time, nullptr);
  if (m.Parity()) m.SetRow(2, -m.GetRow(2));
  for (int r = 0; r < 4; ++r)
    if (!out.P3(m.GetRow(r))) return -1;
  return 1;
}

int Bones::Write(RecordWriter& out) {
  if (!out.I32(NumBones)) return -1;

  // Skeleton: every bone asked at tick 0 before the tree is rebuilt.
  if (NumBones > 0) {
    alloc::Array<BoneInfo> info = alloc::NewArray<BoneInfo>(static_cast<size_t>(NumBones));
    if (!info) return Fail(out, kTableNoMemory);
    for (int32_t b = 0; b < NumBones; ++b) info[b] = Query(Modifier, 0, b);
    RebuildTree(info.get(), NumBones);
    for (int32_t b = 0; b < NumBones; ++b) {
      const BoneInfo& bone = info[b];
      // A name that fills its field without a zero ends at the field's end.
      if (!out.StrN(bone.Name, sizeof bone.Name)) return -1;
      if (WriteMatrix(out, bone) != 1 || !PutExtra(out, bone)) return -1;
      if (!out.I32(bone.Sibling) || !out.I32(bone.Parent) || !out.I32(bone.Child)) return -1;
    }
  }

  // Animation: 64-bit times so that a range ending near the largest tick
  // cannot wrap; a range ending before its start has no frames.
  const int64_t tpf = GetTicksPerFrame();
  const int64_t start = AnimStart, end = AnimEnd;
  int64_t numframes = end < start ? 0 : (end - start) / tpf + 1;
  if (numframes > INT32_MAX) return Fail(out, kTooManyFrames);
  if (!out.I32(static_cast<int32_t>(numframes))) return -1;
  if (!out.F32(static_cast<float>(4800.0 / static_cast<double>(tpf)))) return -1;
  for (int64_t t = start; t <= end; t += tpf) {
    for (int32_t b = 0; b < NumBones; ++b) {
      const BoneInfo sample = Query(Modifier, static_cast<int32_t>(t), b);
      if (WriteMatrix(out, sample) != 1 || !PutExtra(out, sample)) return -1;
    }
    --numframes;
  }
  if (numframes != 0) return Fail(out, kFrameCount);

  for (int32_t i = 0; Vertices && i < NumVertices; ++i) {
    if (!Vertices[i].Refs) return Fail(out, kNoRefs);
    for (const BoneRef* ref = Vertices[i].Refs; ref; ref = ref->Next) {
      if (ref->BoneID == thm_format::kRefListEnd) return Fail(out, kUnsetBone);
      if (!out.I32(ref->BoneID) || !out.F32(ref->Weight)) return -1;
    }
    if (!out.I32(thm_format::kRefListEnd)) return -1;
  }
  if (!out.I32(thm_format::kSkinEndMark)) return -1;

  // The notes answer for their own writes.
  if (!out.Flush()) return -1;
  if (WriteNotes(out) != 1) {
    report::Show(kNotesFailed);
    return -1;
  }
  return 1;
}

::Modifier* FindSkinModifier(INode* node) {
  Object* obj = node ? node->GetObjectRef() : nullptr;
  // Only the top object's own stack counts.
  if (!obj || obj->SuperClassID() != GEN_DERIVOB_CLASS_ID) return nullptr;
  auto* derived = static_cast<IDerivedObject*>(obj);
  const int count = derived->NumModifiers();
  for (int i = 0; i < count; ++i) {
    ::Modifier* m = derived->GetModifier(i);
    if (!m) continue;
    const Class_ID id = m->ClassID();
    if (id == SKIN_CLASSID || id == SKIN_CLASSID_ALT) return m;
  }
  return nullptr;
}

Bones* CreateBones(INode* node) {
  ::Modifier* modifier = FindSkinModifier(node);
  if (!modifier) return nullptr;
  Bones* bones = new (std::nothrow) Bones(modifier, node);
  // No memory: the node goes out as an ordinary mesh, but the file lacks its skin.
  if (!bones) report::MarkExportFailed();
  return bones;
}
