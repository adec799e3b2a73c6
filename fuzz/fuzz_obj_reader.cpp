// Our OBJ reader on any bytes, and, for every file it reads itself, Assimp's
// own OBJ loader on the same bytes (reader_oracle.h). Files it hands to
// Assimp are Assimp's to read (fuzz_import_text).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/reader_oracle.h"
#include "import/obj_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Assimp::Importer theirs, ours;
  static const bool installed = (scene::obj::Install(ours), true);
  (void)installed;
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (!scene::obj::Read(text).why.empty()) return 0;
  // From memory, Assimp's loader takes its own bytes for a material library it
  // cannot find (the name of the memory stream matches) and may crash on them.
  if (text.find("mtllib") != std::string::npos) return 0;
  fuzzoracle::Compare(theirs, ours, data, size, "obj", "OBJ");
  return 0;
}
