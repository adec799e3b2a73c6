// Scene documents: the standalone host's native input, a JSON file that holds
// one host scene as data (docs/scene-format.md). Loading validates the whole
// document before anything is handed out, so a plug-in only ever sees a
// scene that the host package itself could have presented.
//
//   std::unique_ptr<scene::Scene> s = scene::LoadDocument("demo.scene.json");
//
// Every problem is a DocumentError that names the file, the JSON path of the
// offending value (a JSON pointer such as /nodes/2/object/faces/17) and what
// is wrong, on one line.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "document/error.h"
#include "scene/scene.h"

namespace scene {

// Reads and loads the document at `path` into a new scene. Throws DocumentError.
std::unique_ptr<Scene> LoadDocument(const std::string& path);

// Loads a document held in memory; `file` names it in errors.
std::unique_ptr<Scene> ParseDocument(std::string_view text, const std::string& file);

// Note keys to attach to nodes by name: a JSON file {"node": [[ticks, "text"],
// ...], ...} (thmexport's --notes), read with the same checks and messages as
// a scene document. The nodes in file order. Throws DocumentError.
std::vector<NodeNotes> LoadNoteKeys(const std::string& path);

}  // namespace scene
