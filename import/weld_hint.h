// Hints for the importer's welds. A reader that gives Assimp one vertex per
// face corner (OBJ) knows which of the file's positions and coordinates each
// vertex copies; the welds then look up the host vertex made for that entry
// instead of hashing every corner. A hint only names a candidate: the weld
// takes it where its bytes are the vertex's own, and hashes otherwise, so a
// hint that Assimp's post-processing has moved out of step costs time, never
// a different mesh.
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

// The host vertex made for each entry of one kind, for the node being built:
// stamped with the node's turn, so that a file of many small nodes does not
// clear a table the size of the file for each.
class WeldMemo {
 public:
  void Begin(uint32_t entries) {
    if (slots_.size() < entries) slots_.resize(entries, 0);
    ++turn_;
  }
  // The vertex remembered for `entry` in this turn, or -1.
  int Get(uint32_t entry) const {
    if (entry >= slots_.size()) return -1;
    const uint64_t s = slots_[entry];
    return uint32_t(s >> 32) == turn_ ? static_cast<int>(static_cast<uint32_t>(s)) : -1;
  }
  void Put(uint32_t entry, int vertex) {
    if (entry < slots_.size()) slots_[entry] = (uint64_t(turn_) << 32) | static_cast<uint32_t>(vertex);
  }

 private:
  std::vector<uint64_t> slots_;
  uint32_t turn_ = 0;  // 0 is no turn: fresh slots match none
};

}  // namespace scene
