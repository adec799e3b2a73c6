// Presentation of a read .thm file: readable text and JSON.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "thm/thm.h"

namespace thmdump {

// Records read so far, then the parse error if there was one.
std::string Summary(const thm_file* file);

// Every field and array, in file order; "error" is null or {offset, message}.
nlohmann::ordered_json ToJson(const thm_file* file, const thm_error* error);

// Laid out as nlohmann's dump(2), every float with its shortest digits.
std::string DumpJson(const nlohmann::ordered_json& j);

// The file as glTF 2.0 (see docs/engine.md): its JSON, and the binary buffer.
struct Gltf {
  nlohmann::ordered_json doc;
  std::vector<std::uint8_t> bin;
};
Gltf ToGltf(const thm_file* file);
// As one binary .glb file.
std::vector<std::uint8_t> Glb(Gltf g);
// As .gltf text whose buffer is the file bin_uri beside it.
std::string GltfText(Gltf& g, const std::string& bin_uri);

// 8-bit text as JSON-safe UTF-8: byte b becomes code point U+00bb, which loses nothing.
std::string Latin1ToUtf8(const std::string& bytes);

}  // namespace thmdump
