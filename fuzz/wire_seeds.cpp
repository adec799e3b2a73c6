// Seeds for fuzz_wire: the answers an import child gives for real models.
//   wire_seeds OUT_DIR MODEL...
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "import/import.h"
#include "tools/thmexport/isolate.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: wire_seeds OUT_DIR MODEL...\n");
    return 2;
  }
  namespace fs = std::filesystem;
  fs::create_directories(argv[1]);
  int written = 0;
  for (int i = 2; i < argc; ++i) {
    try {
      const std::string answer = thmexport::SceneAnswer(scene::ImportModel(argv[i], {}));
      std::ofstream(fs::path(argv[1]) / (fs::path(argv[i]).filename().string() + ".wire"), std::ios::binary)
          << answer;
      ++written;
    } catch (const std::exception&) {
    }
  }
  std::printf("%d answers\n", written);
  return 0;
}
