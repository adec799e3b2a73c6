// The scene-document loader on any bytes: a scene or one DocumentError.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "document/document.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    scene::ParseDocument(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.scene.json");
  } catch (const scene::DocumentError&) {
  }
  return 0;
}
