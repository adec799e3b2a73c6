// Hints for the importer's welds. A reader that gives Assimp one vertex per
// face corner (OBJ) knows which of the file's positions and coordinates each
// vertex copies; the welds then compare a vertex with the one met before for
// its entry instead of hashing every corner (weld.h). A hint only names a
// candidate: the weld takes it where its bytes are the vertex's own, and
// hashes otherwise, so a hint that Assimp's post-processing has moved out of
// step costs time, never a different mesh.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace scene {

struct WeldHint {
  static constexpr uint32_t kNone = UINT32_MAX;
  std::vector<uint32_t> positions;    // per vertex: its entry among the file's positions, or kNone
  std::vector<uint32_t> coordinates;  // per vertex: its entry among the file's texture coordinates, or kNone
  uint32_t positionCount = 0, coordinateCount = 0;
};

// Per mesh of the loaded scene, by index; empty where there is none.
using WeldHints = std::vector<WeldHint>;

}  // namespace scene
