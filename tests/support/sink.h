// An output stream for the writer tests: a C stdio FILE* that keeps what is
// written in memory and can refuse writes after a given number of bytes or
// fail its close. Apart from the plug-in, for tests that load it as the host does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tarntest {

struct Sink {
  std::string bytes;
  std::size_t limit = SIZE_MAX;  // bytes accepted before writes fail
  bool failClose = false;
  // After the refused write, accept everything again: a writer that goes on
  // after an unchecked failure then leaves bytes past the limit.
  bool recover = false;

  // Unbuffered by default, so that every fwrite reaches the sink at once.
  FILE* Open(int mode = _IONBF) {
    cookie_io_functions_t io{};
    io.write = [](void* c, const char* buf, std::size_t size) -> ssize_t {
      Sink& s = *static_cast<Sink*>(c);
      std::size_t room = s.limit > s.bytes.size() ? s.limit - s.bytes.size() : 0;
      std::size_t n = size < room ? size : room;
      s.bytes.append(buf, n);
      if (n < size && s.recover) s.limit = SIZE_MAX;
      return static_cast<ssize_t>(n);  // short count: the write failed
    };
    io.close = [](void* c) { return static_cast<Sink*>(c)->failClose ? -1 : 0; };
    FILE* f = fopencookie(this, "wb", io);
    if (f) setvbuf(f, nullptr, mode, mode == _IONBF ? 0 : 1 << 16);
    return f;
  }
};

// Runs `write(FILE*)` on a sink that takes `limit` bytes; the bytes that
// reached it, and in *result what `write` returned.
template <class Write>
std::string WrittenToFile(Write write, int* result, std::size_t limit = SIZE_MAX) {
  Sink sink;
  sink.limit = limit;
  FILE* f = sink.Open();
  *result = write(f);
  std::fclose(f);
  return sink.bytes;
}

}  // namespace tarntest
