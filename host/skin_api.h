// What the host's skin modifier exchanges with plug-ins through its command
// operation (Modifier::Command): the weight table and the bone query record.
// Layouts are fixed little-endian records of the 32-bit host; the bone's node
// is therefore a 32-bit handle, resolved with GetINodeByHandle.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/types.h"

// The skin modifier's two class ids.
constexpr Class_ID SKIN_CLASSID(0x37e26e45, 0x543b6b2a);
constexpr Class_ID SKIN_CLASSID_ALT(0x37e26e45, 0x543b6a2a);

// arg: WeightArray** that the caller sets to null; the modifier stores its
// table there, or leaves it null when it has none.
constexpr uint32_t SKIN_CMD_WEIGHTS = 0x10100;
// arg: BoneInfo* with Time and Index set; the modifier fills Name, Node, Extra.
constexpr uint32_t SKIN_CMD_BONE = 0x10101;

// nv rows of nb float weights follow nv directly, row-major:
// the weight of host vertex i for bone j is weights()[i * nb + j].
struct WeightArray {
  int32_t nb;
  int32_t nv;
  const float* weights() const {
    return reinterpret_cast<const float*>(reinterpret_cast<const char*>(this) + 8);
  }
};
static_assert(sizeof(WeightArray) == 8);

struct BoneInfo {
  int32_t Time;    // set by the caller, left unchanged by the modifier
  int32_t Index;   // set by the caller, left unchanged by the modifier
  char Name[256];  // zero-terminated within the field
  uint32_t Node;   // node handle of the bone
  uint8_t Reserved1[48];
  uint32_t Extra[3];  // three 32-bit values copied to the file unchanged
  uint8_t Reserved2[12];
  int32_t Parent;  // the caller's; the modifier never touches them
  int32_t Sibling;
  int32_t Child;
};
static_assert(sizeof(BoneInfo) == 352);
static_assert(offsetof(BoneInfo, Time) == 0);
static_assert(offsetof(BoneInfo, Index) == 4);
static_assert(offsetof(BoneInfo, Name) == 8);
static_assert(offsetof(BoneInfo, Node) == 264);
static_assert(offsetof(BoneInfo, Extra) == 316);
static_assert(offsetof(BoneInfo, Parent) == 340);
static_assert(offsetof(BoneInfo, Sibling) == 344);
static_assert(offsetof(BoneInfo, Child) == 348);
