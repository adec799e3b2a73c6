// thmwinhost: exports a scene through tarnexport.dle on Windows, loaded and
// called as the host package does (LoadLibrary, the four entry points, the
// exporter's DoExport). The scene comes in the wire format.
//   thmwinhost SCENE.wire OUT.thm [SCENE.wire OUT.thm ...]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "host/plugin_api.h"
#include "scene/scene.h"
#include "tools/thmexport/sandbox/wire.h"
#include "tools/winhost/library.h"

namespace {

using LibVersionFn = uint32_t (*)();
using LibNumberClassesFn = int (*)();
using LibClassDescFn = ClassDesc* (*)(int);

int Fail(const std::string& what) {
  std::fprintf(stderr, "thmwinhost: %s\n", what.c_str());
  return 2;
}

// One export, with the library loaded for it alone: nothing of an earlier
// export's plug-in state carries over, as in a host run per scene.
int ExportOne(const std::string& wire, const std::string& output, const std::string& plugin) {
  std::ifstream in(wire, std::ios::binary);
  if (!in) return Fail("cannot read " + wire);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  std::unique_ptr<scene::Scene> scene;
  try {
    size_t at = 0;
    scene = sandbox::ReadScene(bytes, at);
    if (at != bytes.size()) return Fail(wire + ": bytes after the scene");
  } catch (const sandbox::WireError& e) {
    return Fail(wire + ": " + e.what());
  }

  std::string error;
  void* lib = winhost::OpenLibrary(plugin, &error);
  if (!lib) return Fail("cannot load " + plugin + ": " + error);
  auto version = reinterpret_cast<LibVersionFn>(winhost::Symbol(lib, "LibVersion"));
  auto count = reinterpret_cast<LibNumberClassesFn>(winhost::Symbol(lib, "LibNumberClasses"));
  auto classDesc = reinterpret_cast<LibClassDescFn>(winhost::Symbol(lib, "LibClassDesc"));
  ClassDesc* exporter = nullptr;
  if (version && count && classDesc && version() == HOST_SDK_VERSION)
    for (int i = 0; i < count(); ++i)
      if (ClassDesc* d = classDesc(i); d && d->SuperClassID() == SCENE_EXPORT_CLASS_ID) exporter = d;
  if (!exporter) {
    winhost::CloseLibrary(lib);
    return Fail(plugin + ": not a scene exporter plug-in of this host version");
  }
  scene->Activate();
  auto* exp = static_cast<SceneExport*>(exporter->Create(0));
  const int result = exp ? exp->DoExport(output.c_str(), scene.get(), scene.get(), /*suppressPrompts=*/1) : 0;
  delete exp;
  scene.reset();
  winhost::CloseLibrary(lib);
  if (result != 1) {
    std::fprintf(stderr, "thmwinhost: %s: the exporter returned %d\n", wire.c_str(), result);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc % 2 == 0) return Fail("usage: thmwinhost SCENE.wire OUT.thm [SCENE.wire OUT.thm ...]");
  const std::string plugin = winhost::ProgramFolder() + "\\tarnexport.dle";
  int status = 0;
  for (int i = 1; i + 1 < argc; i += 2) status = std::max(status, ExportOne(argv[i], argv[i + 1], plugin));
  return status;
}
