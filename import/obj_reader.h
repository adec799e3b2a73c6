// Our OBJ reader, in Assimp's place for ".obj". Assimp's own OBJ loader spends
// most of an import parsing numbers and faces; ours reads the geometry in one
// pass and gives Assimp only a skeleton of the file (the statements that
// shape nodes, meshes and materials, and one stand-in face per run of faces),
// so that names, node layout, materials and Assimp's log stay Assimp's own.
// The meshes' arrays are then filled from our pass.
//
// A file that uses anything outside the well-formed subset we read exactly as
// Assimp does (line continuations, lines and points, free-form curves,
// homogeneous vertices, unusual numbers or face tokens, indices out of range,
// faces of fewer than three corners) is read by Assimp's loader instead, so
// the result never differs from Assimp's. docs/import.md lists the subset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "import/weld_hint.h"

namespace Assimp {
class Importer;
}

namespace scene::obj {

// Puts our reader in place of Assimp's OBJ loader in `importer`. `strict`:
// a file outside the subset fails, naming why, instead of going to Assimp.
// A file it reads leaves the welds' hints for its meshes in `hints`, if given;
// a large one is read on up to `threads` threads.
void Install(Assimp::Importer& importer, bool strict = false, std::shared_ptr<WeldHints> hints = nullptr,
             int threads = 1);

// The geometry of an OBJ file as Assimp's loader sees it, and the skeleton
// that Assimp reads for the rest. Exposed for the tests and the fuzz target.
struct Geometry {
  std::vector<float> positions, uvs, normals, colors;  // 3 per entry
  unsigned uvDim = 0;                                  // largest number of vt components
  // Faces: corner ranges into v/t/n; per face whether it lists UVs and normals.
  std::vector<uint32_t> faceStart{0};
  std::vector<uint8_t> faceHas;  // bit 0: UVs, bit 1: normals
  std::vector<uint32_t> v, t, n;
  std::vector<uint32_t> runStart;  // first face of each run (one stand-in face in the skeleton), then the end
  std::string skeleton;
  std::string why;  // empty when the file is in the subset; else what is not
};

// Reads `text` (an OBJ file's bytes). `why` names the first statement outside
// the subset, with its line. A large file is read in parts of at least
// `partBytes` on up to `threads` threads, with the same result.
Geometry Read(std::string_view text, int threads = 1, size_t partBytes = size_t(1) << 22);

}  // namespace scene::obj
