// Our glTF reader on any bytes read as a binary glTF, and, for every file it
// reads itself, Assimp's own glTF 2.0 loader on the same bytes
// (reader_oracle.h). Files it hands to Assimp are Assimp's to read
// (fuzz_import_scene).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/reader_oracle.h"
#include "import/gltf_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Assimp::Importer theirs, ours;
  static const bool installed = (scene::gltf::Install(ours), true);
  (void)installed;
  if (!scene::gltf::Read(std::string_view(reinterpret_cast<const char*>(data), size)).why.empty()) return 0;
  fuzzoracle::Compare(theirs, ours, data, size, "glb", "glTF");
  return 0;
}
