// The importer on model bytes of one family of formats (FUZZ_FORMATS, chosen
// by the first byte), through Assimp and our mapping into the host scene.
// Assimp itself is not instrumented: what it does wrong is Debian's; what our
// mapping does with whatever Assimp hands over is ours.
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "import/import.h"

namespace {
std::vector<std::string> Formats() {
  std::vector<std::string> out;
  std::string all = FUZZ_FORMATS, one;
  for (char c : all + ",") {
    if (c == ',') {
      out.push_back(one);
      one.clear();
    } else {
      one += c;
    }
  }
  return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<std::string> formats = Formats();
  if (size < 1) return 0;
  const std::string& hint = formats[data[0] % formats.size()];
  try {
    scene::ImportOptions o;
    o.maxInfluences = data[0] & 0x80 ? 2 : 0;
    o.normalizeWeights = data[0] & 0x40;
    scene::ImportModelFromMemory(data + 1, size - 1, hint, o);
  } catch (const scene::ImportError&) {
  } catch (const std::bad_alloc&) {
  }
  return 0;
}
