#include "skin/bones.h"

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "plugin/assert.h"
#include "skin/notes.h"

namespace {

// Every number of the block is written little-endian, one write per field.
bool PutBytes(FILE* file, const void* data, size_t size) { return std::fwrite(data, 1, size, file) == size; }

void Store32(unsigned char* out, uint32_t v) {
  for (int k = 0; k < 4; ++k) out[k] = static_cast<unsigned char>(v >> (8 * k));
}

uint32_t FloatBits(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, 4);
  return bits;
}

bool PutU32(FILE* file, uint32_t v) {
  unsigned char b[4];
  Store32(b, v);
  return PutBytes(file, b, 4);
}
bool PutI32(FILE* file, int32_t v) { return PutU32(file, static_cast<uint32_t>(v)); }
bool PutF32(FILE* file, float f) { return PutU32(file, FloatBits(f)); }

bool PutExtra(FILE* file, const BoneInfo& info) {
  unsigned char b[12];
  for (int k = 0; k < 3; ++k) Store32(b + 4 * k, info.Extra[k]);
  return PutBytes(file, b, 12);
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

BoneVertex::~BoneVertex() { FreeRefs(Refs); }

Bones::~Bones() { delete[] Vertices; }

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

int Bones::BuildRefs(int num_svs, int num_orig_vs, const int* lookup) {
  if (CHECK_FAILED(!Vertices)) return 0;
  if (num_svs <= 0) {  // a negative count cannot size the array either
    REPORT_FAILED("num_svs");
    return 0;
  }
  NumVertices = num_svs;
  Vertices = new (std::nothrow) BoneVertex[static_cast<size_t>(num_svs)];
  if (!Vertices) {
    REPORT_FAILED("!\"Out of memory\"");
    return 0;
  }

  WeightArray* wa = nullptr;
  Modifier->Command(SKIN_CMD_WEIGHTS, &wa);
  if (!wa) {  // no table: the node goes out without skin
    delete[] Vertices;
    Vertices = nullptr;
    return 1;
  }
  // The table's size comes from the modifier: never index past what its counts allow.
  if (CHECK_FAILED(wa->nb >= 0 && wa->nv >= 0)) return 0;
  if (CHECK_FAILED(wa->nv == num_orig_vs)) return 0;
  if (CHECK_FAILED(int64_t{wa->nv} * wa->nb <= INT32_MAX)) return 0;
  NumBones = wa->nb;

  const int32_t nb = wa->nb;
  const float* weights = wa->weights();
  for (int i = 0; i < num_orig_vs; ++i) {
    if (CHECK_FAILED(lookup[i] >= 0 && lookup[i] < NumVertices)) return 0;
    BoneVertex& entry = Vertices[lookup[i]];
    if (entry.Refs) continue;  // the lowest host vertex of an SV decides its references
    const float* row = weights + static_cast<size_t>(i) * static_cast<size_t>(nb);
    for (int32_t j = 0; j < nb; ++j) {
      const float w = row[j];
      if (!(w < 0.0f || w > 0.0f)) continue;  // 0.0 of either sign, or not a number
      BoneRef* ref = new (std::nothrow) BoneRef{j, w, entry.Refs};
      if (CHECK_FAILED(ref)) return 0;
      entry.Refs = ref;
    }
    if (!entry.Refs) {
      BoneRef* ref = new (std::nothrow) BoneRef{0, 1.0f, nullptr};
      if (CHECK_FAILED(ref)) return 0;
      entry.Refs = ref;
    }
  }
  return 1;
}

int WriteMatrix(FILE* file, const BoneInfo& record) {
  INode* node = GetINodeByHandle(record.Node);
  if (CHECK_FAILED(node && "Bone node not found")) return -1;
  Matrix3 m = node->GetNodeTM(record.Time, nullptr);
  if (m.Parity()) m.SetRow(2, -m.GetRow(2));
  for (int r = 0; r < 4; ++r) {
    const Point3 row = m.GetRow(r);
    unsigned char b[12];
    for (int k = 0; k < 3; ++k) Store32(b + 4 * k, FloatBits(row[k]));
    if (!PutBytes(file, b, 12)) return -1;
  }
  return 1;
}

int Bones::Write(FILE* file) {
  if (!PutI32(file, NumBones)) return -1;

  // Skeleton: every bone asked at tick 0 before the tree is rebuilt.
  if (NumBones > 0) {
    std::unique_ptr<BoneInfo[]> info(new (std::nothrow) BoneInfo[static_cast<size_t>(NumBones)]);
    if (!info) {
      REPORT_FAILED("!\"Out of memory\"");
      return -1;
    }
    for (int32_t b = 0; b < NumBones; ++b) info[b] = Query(Modifier, 0, b);
    RebuildTree(info.get(), NumBones);
    for (int32_t b = 0; b < NumBones; ++b) {
      const BoneInfo& bone = info[b];
      // A name that fills its field without a zero ends at the field's end.
      if (!PutBytes(file, bone.Name, strnlen(bone.Name, sizeof bone.Name)) || std::fputc(0, file) == EOF) return -1;
      if (WriteMatrix(file, bone) != 1 || !PutExtra(file, bone)) return -1;
      if (!PutI32(file, bone.Sibling) || !PutI32(file, bone.Parent) || !PutI32(file, bone.Child)) return -1;
    }
  }

  // Animation: 64-bit times so that a range ending near the largest tick
  // cannot wrap; a range ending before its start has no frames.
  const int64_t tpf = GetTicksPerFrame();
  const int64_t start = AnimStart, end = AnimEnd;
  int64_t numframes = end < start ? 0 : (end - start) / tpf + 1;
  if (CHECK_FAILED(numframes <= INT32_MAX)) return -1;
  if (!PutI32(file, static_cast<int32_t>(numframes))) return -1;
  if (!PutF32(file, static_cast<float>(4800.0 / static_cast<double>(tpf)))) return -1;
  for (int64_t t = start; t <= end; t += tpf) {
    for (int32_t b = 0; b < NumBones; ++b) {
      const BoneInfo sample = Query(Modifier, static_cast<int32_t>(t), b);
      if (WriteMatrix(file, sample) != 1 || !PutExtra(file, sample)) return -1;
    }
    --numframes;
  }
  if (CHECK_FAILED(numframes == 0)) return -1;

  for (int32_t i = 0; Vertices && i < NumVertices; ++i) {
    if (CHECK_FAILED(Vertices[i].Refs && "There must be at least one ref per vertex")) return -1;
    for (const BoneRef* ref = Vertices[i].Refs; ref; ref = ref->Next) {
      if (CHECK_FAILED(ref->BoneID != -1)) return -1;
      if (!PutI32(file, ref->BoneID) || !PutF32(file, ref->Weight)) return -1;
    }
    if (!PutI32(file, -1)) return -1;
  }
  if (!PutI32(file, -14)) return -1;

  if (WriteNotes(file) != 1) {
    REPORT_FAILED("!\"Couldn't save remaining notes\"");
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
  if (!bones) MarkExportFailed();
  return bones;
}
