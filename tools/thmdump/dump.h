// Presentation of a read .thm file: readable text and JSON.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "thm/thm.h"

namespace thmdump {

// Records read so far, then the parse error if there was one.
std::string Summary(const thm_file* file);

// Every field and array, in file order; "error" is null or {offset, message}.
nlohmann::ordered_json ToJson(const thm_file* file, const thm_error* error);

// Laid out as nlohmann's dump(2), every float with its shortest digits.
std::string DumpJson(const nlohmann::ordered_json& j);

// 8-bit text as JSON-safe UTF-8: byte b becomes code point U+00bb, which loses nothing.
std::string Latin1ToUtf8(const std::string& bytes);

}  // namespace thmdump
