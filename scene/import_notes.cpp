// Note keys from a JSON file, attached to the imported scene's nodes.
#include "scene/assimp_load.h"
#include "scene/document.h"
#include "scene/import_builder.h"

namespace scene {

void Builder::Notes() {
  std::vector<NodeNotes> notes;
  try {
    notes = LoadNoteKeys(opt_.notesFile);
  } catch (const DocumentError& e) {
    throw ImportError(e.what());
  }
  for (NodeNotes& n : notes) {
    Node* node = ByName(n.node);
    if (!node) assimp::Fail(opt_.notesFile, "no node named '" + n.node + "'");
    node->AddNoteTrack().keys = std::move(n.keys);
  }
}

}  // namespace scene
