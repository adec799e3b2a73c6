// The plug-in's record writer over a test sink (tests/support/sink.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "context/record_writer.h"
#include "tests/support/sink.h"

namespace tarntest {

// Runs `write(RecordWriter&)` on a sink that takes `limit` bytes; the bytes
// that reached it, and in *result what `write` returned.
template <class Write>
std::string Written(Write write, int* result, std::size_t limit = SIZE_MAX) {
  Sink sink;
  sink.limit = limit;
  FILE* f = sink.Open();
  {
    RecordWriter out(f);
    *result = write(out);
    out.Flush();  // nothing a writer gathered may stay behind unnoticed
  }
  std::fclose(f);
  return sink.bytes;
}

}  // namespace tarntest
