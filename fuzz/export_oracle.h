// What the export targets hold every export to: notes it left behind never
// reach the next input, and an export that reports success wrote a file the
// checker accepts (else the run stops with the checker's words).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "skin/notes.h"
#include "thm/check.h"
#include "thm/reader.h"

namespace fuzz {

inline void ForgetNotes() {
  FILE* sink = std::fopen("/dev/null", "wb");
  {
    RecordWriter out(sink);
    WriteNotes(out);
  }
  std::fclose(sink);
}

inline void ExpectAcceptedIfDone(int result, const void* bytes, size_t size) {
  if (result != 1) return;
  const thm::ParseResult parsed = thm::Parse({static_cast<const uint8_t*>(bytes), size});
  std::optional<thm::Problem> problem = parsed.error;
  if (!problem) problem = thm::Check(parsed.file);
  if (problem) {
    std::fprintf(stderr, "an export that succeeded wrote a file the checker refuses: offset %zu: %s\n",
                 problem->offset, problem->what.c_str());
    std::abort();
  }
}

}  // namespace fuzz
