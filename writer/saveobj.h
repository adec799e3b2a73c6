// Writes one finished mesh object (after RemoveUnused) as an object record:
// positions, the optional skin block, then per material a header, a vertex
// list with smoothed normals and a triangle list numbered within the section.
#pragma once

#include <cstdint>

#include "context/alloc.h"
#include "context/record_writer.h"
#include "host/geom.h"

class Obj;
class Bones;

class SaveObj {
 public:
  struct HV {
    int32_t LocalIndex;  // number within its material section, set by FWrite
    Point3 Normal;       // (0, 0, 0) until computed
    TARN_SEAM_ALLOCATED
  };
  struct Tri {
    Point3 Normal;  // unit face normal; (0, 0, 0) for a triangle without area
    TARN_SEAM_ALLOCATED
  };

  HV* mHVs = nullptr;
  Tri* mTris = nullptr;
  Obj* mObj = nullptr;
  Bones* mBones = nullptr;  // may be null

  TARN_SEAM_ALLOCATED

  SaveObj() = default;
  SaveObj(const SaveObj&) = delete;
  SaveObj& operator=(const SaveObj&) = delete;
  ~SaveObj();

  // Computes face and vertex normals. 1 when ready to write; 0 without
  // memory, or after the report "0" for an HVert no triangle uses.
  int Init(Obj* obj, Bones* bones);
  // Appends the object record: 1 written, 0 nothing to write (no positions),
  // -1 at the first failed write or check.
  int FWrite(RecordWriter& out);
};
