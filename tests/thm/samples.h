// Hand-assembled .thm records shared by the tests. Marks name the offsets tests patch.
#pragma once

#include "tests/support/bytes.h"

namespace thmtest {

using tarntest::Bytes;

// "Omni01", no parent, far attenuation off.
Bytes OmniLight();
// "Spot01" under "Rig".
Bytes SpotLight();
// "Box01" under "Dummy01": four positions, a short-header section and a long-header section.
Bytes TwoMaterialMesh();
// "Body": three positions, two bones, two frames, two notes, one section.
Bytes SkinnedMesh();
// The 164-byte skin block of one root bone "B0", one frame, one weight, no notes.
Bytes WorkedSkinBlock();
// "Skinned": one position carrying WorkedSkinBlock, no materials.
Bytes WorkedSkinMesh();
// All of the above, one after the other.
Bytes AllRecords();

}  // namespace thmtest
