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
#if defined(_WIN32)
  // Windows has no cookie streams: a stream on NUL whose fwrite and fclose a
  // stand-in for the C runtime hands to this sink (tests/windows/crt_stand_in.cpp).
  FILE* Open(int mode = _IONBF);
  std::string pending;  // what a buffered stream holds until it is flushed
  bool buffered = false;
#else
  FILE* Open(int mode = _IONBF) {
    cookie_io_functions_t io{};
    io.write = [](void* c, const char* buf, std::size_t size) -> ssize_t {
      return static_cast<ssize_t>(static_cast<Sink*>(c)->Take(buf, size));
    };
    io.close = [](void* c) { return static_cast<Sink*>(c)->failClose ? -1 : 0; };
    FILE* f = fopencookie(this, "wb", io);
    if (f) setvbuf(f, nullptr, mode, mode == _IONBF ? 0 : 1 << 16);
    return f;
  }
#endif
  // Takes what the limit allows of `size` bytes; the count taken.
  std::size_t Take(const char* buf, std::size_t size) {
    std::size_t room = limit > bytes.size() ? limit - bytes.size() : 0;
    std::size_t n = size < room ? size : room;
    bytes.append(buf, n);
    if (n < size && recover) limit = SIZE_MAX;
    return n;  // short count: the write failed
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
