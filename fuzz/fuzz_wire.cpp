// An import child's answer, read exactly as thmexport reads it, then the scene
// exported through the plug-in into memory. Whatever a child that a model has
// taken over sends, the parent refuses it or exports a scene a document could
// have made: no crash, no hang, no allocation out of proportion, and a file
// the checker accepts whenever the export reports success.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/export_oracle.h"
#include "host/platform.h"
#include "plugin/driver.h"
#include "tools/thmexport/isolate.h"

namespace {

// The output's bound, as --max-output holds it in thmexport: writes past it fail.
constexpr size_t kMaxOutput = 16 << 20;

struct Bounded {
  std::string bytes;
};

FILE* OpenBounded(Bounded& b) {
  cookie_io_functions_t io{};
  io.write = [](void* c, const char* buf, size_t size) -> ssize_t {
    auto& out = static_cast<Bounded*>(c)->bytes;
    if (out.size() + size > kMaxOutput) return 0;
    out.append(buf, size);
    return static_cast<ssize_t>(size);
  };
  return fopencookie(&b, "wb", io);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  scene::ImportOptions options;
  options.extractTexturesDir = "textures";  // asked for, so that textures are read too (never written)
  thmexport::IsolatedImport in =
      thmexport::ReadAnswer(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.obj", options);
  if (!in.error.empty()) return 0;
  scene::Scene* s = in.imported.scene.get();
  if (!s) std::abort();  // an answer taken for a success without a scene
  SetMessageBoxSink([](const MessageBoxRecord&) { return IDOK; });
  Bounded out;
  FILE* f = OpenBounded(out);
  const int result = ExportToStream(f, s, s);
  fuzz::ForgetNotes();
  fuzz::ExpectAcceptedIfDone(result, out.bytes.data(), out.bytes.size());
  return 0;
}
