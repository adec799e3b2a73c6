// scenewire IN.scene.json OUT.wire: the document's scene, checked by our
// loader, written as the import child writes a scene (thmwinhost reads it).
#include <cstdio>
#include <fstream>
#include <string>

#include "document/document.h"
#include "tools/thmexport/sandbox/wire.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: scenewire IN.scene.json OUT.wire\n");
    return 2;
  }
  std::string bytes;
  try {
    sandbox::WriteScene(*scene::LoadDocument(argv[1]), bytes);
  } catch (const scene::DocumentError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  std::ofstream out(argv[2], std::ios::binary);
  out << bytes;
  if (!out.flush()) {
    std::fprintf(stderr, "scenewire: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
