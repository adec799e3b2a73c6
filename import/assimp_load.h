// Reading a model through Assimp: the post-processing the mapping relies on,
// Assimp's log caught per file, and the checks made before Assimp is trusted
// with a file. Used by the importer and by the summary of --list.
#pragma once

#include <assimp/matrix4x4.h>

#include <memory>
#include <string>
#include <vector>

#include "host/geom.h"
#include "import/weld_hint.h"

struct aiScene;
struct aiMetadata;
struct aiString;
namespace Assimp {
class Importer;
}

namespace scene::assimp {

// One line: line breaks become spaces.
std::string OneLine(std::string s);
// Throws ImportError "file: what".
[[noreturn]] void Fail(const std::string& file, const std::string& what);
std::string Str(const aiString& s);

struct Loaded {
  std::unique_ptr<Assimp::Importer> importer;
  const aiScene* scene = nullptr;
  std::vector<std::string> errors;   // what Assimp logged as errors, one line each
  std::vector<std::string> repairs;  // what was repaired before Assimp's checks, one line each
  std::vector<std::string> files;    // every file Assimp opened, in order, once each
  std::shared_ptr<WeldHints> hints;  // per mesh, where our reader left them
  Loaded();
  Loaded(Loaded&&) noexcept;
  ~Loaded();
};

// Loads with triangles only, one primitive type per mesh and Assimp's own
// consistency checks, after the repairs of assimp_repair.h. Throws ImportError for files it cannot or must
// not map, and for a model that refers to a file outside `readable` (canonical folders, import/reach.h).
// Our readers may use up to `threads` threads.
Loaded Load(const std::string& path, const std::vector<std::string>& readable, int threads = 1);
// The same for bytes in memory, read as a file with the extension `hint`
// ("obj", "glb", ...); `label` names them in messages. For fuzzing.
Loaded LoadMemory(const void* data, size_t size, const std::string& hint, const std::string& label);

// A number of the file's (or a node's) metadata; *found tells whether it is there.
double MetaNumber(const aiMetadata* md, const char* key, bool* found);

// An Assimp node matrix (column vectors) as a host matrix (rows are the axes).
Matrix3 ToHost(const aiMatrix4x4& m);

}  // namespace scene::assimp
