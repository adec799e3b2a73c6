// Our binary glTF reader on any bytes, and, for every file it reads itself,
// the scene, error and log that Assimp's own loader gives for the same bytes:
// any difference is a finding. Files it hands to Assimp are Assimp's to read
// (fuzz_import_scene). Both loaders live in importers made once, and compare
// before Assimp's post-processing, which is the same code for both.
#include <assimp/scene.h>

#include <assimp/DefaultLogger.hpp>
#include <assimp/Importer.hpp>
#include <assimp/LogStream.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "import/gltf_reader.h"
#include "tests/support/ai_compare.h"

namespace {

struct Log : Assimp::LogStream {
  std::vector<std::string> lines;
  void write(const char* message) override { lines.emplace_back(message); }
};

Log* TheLog() {
  static Log* log = [] {
    Assimp::DefaultLogger::create("", Assimp::Logger::NORMAL, 0);
    auto* l = new Log;
    Assimp::DefaultLogger::get()->attachStream(l, Assimp::Logger::Err | Assimp::Logger::Warn);
    return l;
  }();
  return log;
}

[[noreturn]] void Differ(const std::string& what) {
  std::fprintf(stderr, "our glTF reader and Assimp's differ: %s\n", what.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Assimp::Importer theirs, ours;
  static const bool installed = (scene::gltf::Install(ours), true);
  (void)installed;
  Log* log = TheLog();
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (!scene::gltf::Read(bytes).why.empty()) return 0;
  try {
    log->lines.clear();
    const aiScene* a = theirs.ReadFileFromMemory(data, size, 0, "glb");
    const std::vector<std::string> logA = log->lines;
    const std::string ea = a ? "" : theirs.GetErrorString();
    log->lines.clear();
    const aiScene* b = ours.ReadFileFromMemory(data, size, 0, "glb");
    const std::string eb = b ? "" : ours.GetErrorString();
    if (ea != eb) Differ("errors \"" + ea + "\" and \"" + eb + "\"");
    if (logA != log->lines) Differ("Assimp's log");
    if (a && b)
      if (std::string d = tarntest::CompareScenes(*a, *b); !d.empty()) Differ(d);
  } catch (const std::bad_alloc&) {
  }
  return 0;
}
