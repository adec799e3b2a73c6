// Output files for the writer tests: a memory stream, and an unbuffered
// stream that accepts only its first `limit` bytes.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/geom.h"

// Runs `write(FILE*)` on a memory stream; returns the bytes.
template <class Write>
std::string Capture(Write write, int* result) {
  char* buf = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&buf, &size);
  *result = write(f);
  std::fclose(f);
  std::string bytes(buf, size);
  std::free(buf);
  return bytes;
}

struct LimitedSink {
  std::string bytes;
  size_t limit;
};

inline ssize_t LimitedWrite(void* cookie, const char* buf, size_t n) {
  auto* sink = static_cast<LimitedSink*>(cookie);
  size_t room = sink->limit - sink->bytes.size();
  size_t take = n < room ? n : room;
  sink->bytes.append(buf, take);
  return static_cast<ssize_t>(take);
}

template <class Write>
std::string CaptureLimited(Write write, size_t limit, int* result) {
  LimitedSink sink{"", limit};
  cookie_io_functions_t io{nullptr, LimitedWrite, nullptr, nullptr};
  FILE* f = fopencookie(&sink, "w", io);
  setvbuf(f, nullptr, _IONBF, 0);
  *result = write(f);
  std::fclose(f);
  return sink.bytes;
}

// Little-endian record builder for expected bytes.
struct Bytes {
  std::string s;
  Bytes& U8(int v) {
    s.push_back(static_cast<char>(v));
    return *this;
  }
  Bytes& I32(int32_t v) {
    s.append(reinterpret_cast<const char*>(&v), 4);
    return *this;
  }
  Bytes& U32(uint32_t v) { return I32(static_cast<int32_t>(v)); }
  Bytes& F32(float v) {
    s.append(reinterpret_cast<const char*>(&v), 4);
    return *this;
  }
  Bytes& P3(const Point3& p) { return F32(p.x).F32(p.y).F32(p.z); }
  Bytes& Str(const std::string& t) {
    s.append(t);
    s.push_back('\0');
    return *this;
  }
};
