// A document loaded and exported through the plug-in into memory. Whatever the
// document holds, an export that reports success writes a file that the
// checker accepts: a file it refuses, written with success, stops the run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "document/document.h"
#include "host/platform.h"
#include "plugin/driver.h"
#include "skin/notes.h"
#include "thm/check.h"
#include "thm/reader.h"

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
  // Notes an export left behind must not reach the next input.
  FILE* sink = std::fopen("/dev/null", "wb");
  {
    RecordWriter out(sink);
    WriteNotes(out);
  }
  std::fclose(sink);
  if (result == 1) {
    const thm::ParseResult parsed = thm::Parse({reinterpret_cast<const uint8_t*>(buf), len});
    std::optional<thm::Problem> problem = parsed.error;
    if (!problem) problem = thm::Check(parsed.file);
    if (problem) {
      std::fprintf(stderr, "an export that succeeded wrote a file the checker refuses: offset %zu: %s\n",
                   problem->offset, problem->what.c_str());
      std::abort();
    }
  }
  std::free(buf);
  return 0;
}
