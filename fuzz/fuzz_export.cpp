// A document loaded and exported through the plug-in into memory. Whatever the
// document holds, an export that reports success writes a file that the
// checker accepts: a file it refuses, written with success, stops the run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "document/document.h"
#include "fuzz/export_oracle.h"
#include "host/platform.h"
#include "plugin/driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<scene::Scene> s;
  try {
    s = scene::ParseDocument(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.scene.json");
  } catch (const scene::DocumentError&) {
    return 0;
  }
  SetMessageBoxSink([](const MessageBoxRecord&) { return IDOK; });
  char* buf = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  const int result = ExportToStream(f, s.get(), s.get());
  fuzz::ForgetNotes();
  fuzz::ExpectAcceptedIfDone(result, buf, len);
  std::free(buf);
  return 0;
}
