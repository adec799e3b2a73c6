// Test support: a C stdio FILE* that keeps what is written in memory and can
// refuse writes after a given number of bytes or fail its close, expected
// little-endian bytes, and the shape of assertion reports.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/platform.h"

struct Sink {
  std::string bytes;
  size_t limit = SIZE_MAX;  // bytes accepted before writes fail
  bool failClose = false;
  // After the refused write, accept everything again: a writer that goes on
  // after an unchecked failure then leaves bytes past the limit.
  bool recover = false;

  // Unbuffered by default, so that every fwrite reaches the sink at once.
  FILE* Open(int mode = _IONBF) {
    cookie_io_functions_t io{};
    io.write = [](void* c, const char* buf, size_t size) -> ssize_t {
      Sink& s = *static_cast<Sink*>(c);
      size_t room = s.limit > s.bytes.size() ? s.limit - s.bytes.size() : 0;
      size_t n = size < room ? size : room;
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

// Little-endian expected bytes, built field by field.
struct Bytes {
  std::string s;
  Bytes& u8(uint8_t v) {
    s.push_back(static_cast<char>(v));
    return *this;
  }
  Bytes& str(const std::string& v) {
    s += v;
    s.push_back('\0');
    return *this;
  }
  Bytes& u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
    return *this;
  }
  Bytes& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
  Bytes& f32(float v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    return u32(u);
  }
  Bytes& f32(float x, float y, float z) { return f32(x).f32(y).f32(z); }
};

// True when `r` is the assertion report for `condition` in `source`:
// "<condition>\n<source>: line <N>", captioned "Assert Failed!", with an OK button.
inline bool IsReport(const MessageBoxRecord& r, const std::string& condition, const std::string& source) {
  const std::string head = condition + "\n" + source + ": line ";
  if (r.caption != "Assert Failed!" || r.type != MB_OK || r.text.compare(0, head.size(), head) != 0) return false;
  const std::string line = r.text.substr(head.size());
  return !line.empty() && line.find_first_not_of("0123456789") == std::string::npos;
}
