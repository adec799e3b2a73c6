#include "skin/bones.h"

BoneVertex::~BoneVertex() {
  while (Refs) {
    BoneRef* next = Refs->Next;
    delete Refs;
    Refs = next;
  }
}

Bones::~Bones() { delete[] Vertices; }

void Bones::RemoveVertex(int k) {
  if (!Vertices) return;  // no weight table: nothing to keep in step
  BoneRef* dropped = Vertices[k].Refs;
  for (int i = k; i + 1 < NumVertices; ++i) Vertices[i].Refs = Vertices[i + 1].Refs;
  Vertices[NumVertices - 1].Refs = nullptr;
  --NumVertices;
  while (dropped) {
    BoneRef* next = dropped->Next;
    delete dropped;
    dropped = next;
  }
}

// Placeholders until skin export lands: every node is written without skin.
int Bones::BuildRefs(int num_svs, int, const int*) {
  NumVertices = num_svs;
  return 1;
}
int Bones::Write(FILE*) { return -1; }
::Modifier* FindSkinModifier(INode*) { return nullptr; }
Bones* CreateBones(INode*) { return nullptr; }
int WriteMatrix(FILE*, const BoneInfo&) { return -1; }
