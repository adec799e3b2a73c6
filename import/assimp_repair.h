// Faults in what an Assimp loader hands over that are harmless to repair
// before Assimp's own consistency checks run: each repair is one warning.
// Everything else those checks find still refuses the file (docs/import.md).
#pragma once

#include <string>
#include <vector>

struct aiScene;

namespace scene::assimp {

// Repairs `s` in place; returns one line per repair.
std::vector<std::string> Repair(aiScene& s);

}  // namespace scene::assimp
