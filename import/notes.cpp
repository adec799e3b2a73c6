// Note keys read from a JSON file by the caller, attached to the imported scene's nodes.
#include "import/assimp_load.h"
#include "import/builder.h"

namespace scene {

void Builder::Notes() {
  if (!opt_.notesError.empty()) throw ImportError(opt_.notesError);
  for (const NodeNotes& n : opt_.notes) {
    Node* node = ByName(n.node);
    if (!node) assimp::Fail(opt_.notesFile, "no node named '" + n.node + "'");
    node->AddNoteTrack().keys = n.keys;
  }
}

}  // namespace scene
