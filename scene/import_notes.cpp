// Note keys from a JSON file, attached to the imported scene's nodes.
#include <fstream>
#include <nlohmann/json.hpp>

#include "scene/assimp_load.h"
#include "scene/import_builder.h"

namespace scene {

void Builder::Notes() {
  const std::string& file = opt_.notesFile;
  std::ifstream in(file, std::ios::binary);
  if (!in) assimp::Fail(file, "cannot open the notes file");
  nlohmann::json doc;
  try {
    doc = nlohmann::json::parse(in);
  } catch (const std::exception& e) {
    assimp::Fail(file, e.what());
  }
  if (!doc.is_object()) assimp::Fail(file, "expected an object: node name -> [[ticks, text], ...]");
  for (auto& [name, keys] : doc.items()) {
    Node* node = ByName(name);
    if (!node) assimp::Fail(file, "no node named '" + name + "'");
    if (!keys.is_array()) assimp::Fail(file, "/" + name + ": expected an array of [ticks, text]");
    auto& track = node->AddNoteTrack();
    for (size_t i = 0; i < keys.size(); ++i) {
      const auto& k = keys[i];
      const std::string where = "/" + name + "/" + std::to_string(i);
      if (!k.is_array() || k.size() != 2 || !k[0].is_number_integer() || !k[1].is_string())
        assimp::Fail(file, where + ": expected [ticks, text] with integer ticks");
      long long t = k[0].get<long long>();
      if (t < INT32_MIN || t > INT32_MAX) assimp::Fail(file, where + ": time out of range");
      track.keys.push_back({static_cast<TimeValue>(t), CStr(k[1].get<std::string>())});
    }
  }
}

}  // namespace scene
