// Skin data of one mesh node: the skin modifier found on it and, once built,
// one bone-reference list per welded position (SV) of the node's Obj; and the
// skin block that carries skeleton, sampled bone animation, references and notes.
#pragma once

#include <cstdint>

#include "context/alloc.h"
#include "context/record_writer.h"
#include "host/scene_api.h"
#include "host/skin_api.h"

struct BoneRef {
  int32_t BoneID;  // column of the weight table
  float Weight;    // exactly as the modifier gives it
  BoneRef* Next;

  TARN_SEAM_ALLOCATED
};

struct BoneVertex {
  BoneRef* Refs = nullptr;  // descending BoneID
  TARN_SEAM_ALLOCATED
  BoneVertex() = default;
  BoneVertex(const BoneVertex&) = delete;
  BoneVertex& operator=(const BoneVertex&) = delete;
  ~BoneVertex();
};

class Bones {
 public:
  ::Modifier* Modifier = nullptr;  // not owned
  INode* Node = nullptr;           // not owned
  BoneVertex* Vertices = nullptr;  // one entry per SV; null until built or without a weight table
  int32_t NumVertices = 0;         // follows the Obj's NumSVs, with or without Vertices
  int32_t NumBones = 0;

  TARN_SEAM_ALLOCATED

  Bones(::Modifier* modifier, INode* node) : Modifier(modifier), Node(node) {}
  Bones(const Bones&) = delete;
  Bones& operator=(const Bones&) = delete;
  ~Bones();

  // Builds the per-SV references from the modifier's weight table; lookup[i]
  // is the SV of host vertex i. Returns 1, or 0 after an assertion report (the
  // node is then abandoned).
  int BuildRefs(int num_svs, int num_orig_vs, const int* lookup);
  bool HasVertices() const { return Vertices != nullptr; }
  // Drops the entry of SV k; the caller has checked NumVertices == NumSVs.
  // Without Vertices only the count follows.
  void RemoveVertex(int k);
  // Follows the SVs' compaction: remap[k] is the new index of old SV k, or -1
  // when it was dropped (its references go); `kept` SVs remain of `count`.
  // The same as RemoveVertex for each dropped SV, in one pass.
  void Compact(const int32_t* remap, int32_t count, int32_t kept);
  // Writes the skin block, ending with the notes gathered so far (the list is
  // emptied). Needs Vertices. 1, or -1 when a write or a check fails.
  int Write(RecordWriter& out);
};

// The first modifier of the node's modifier stack that is the skin modifier, or null.
::Modifier* FindSkinModifier(INode* node);
// A new Bones for a node with the skin modifier; null without one or without memory.
Bones* CreateBones(INode* node);
// Writes the 48-byte matrix of the bone node named in `record` at its Time
// (row 2 negated when the matrix mirrors). 1, or -1.
int WriteMatrix(RecordWriter& out, const BoneInfo& record);
