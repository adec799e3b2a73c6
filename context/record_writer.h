// The one writer of .thm records. It gathers the little-endian fields of a
// record and hands them to the output stream in checked writes: every flush is
// one fwrite, and the first that comes back short fails the writer for good,
// so that nothing follows a failure in the file while everything before it
// stays there. Writers flush before each check that can report and at the end
// of what they write, so a failed write is always noticed where it happened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "host/geom.h"

class RecordWriter {
 public:
  explicit RecordWriter(FILE* file) : file_(file) {}
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // Each returns false once the writer has failed.
  bool Bytes(const void* data, std::size_t size);
  bool U8(std::uint8_t v) { return Bytes(&v, 1); }
  bool I32(std::int32_t v) { return U32(static_cast<std::uint32_t>(v)); }
  bool U32(std::uint32_t v);
  bool F32(float v);
  bool P3(const Point3& p) { return F32(p.x) && F32(p.y) && F32(p.z); }
  // The text and its zero byte; a null text is written as an empty one.
  bool Str(const char* text);
  // A text cut at `limit` bytes when it has no zero byte before, then a zero.
  bool StrN(const char* text, std::size_t limit);

  // Hands what is gathered to the stream: false when the write came back short.
  bool Flush();
  bool Failed() const { return failed_; }

 private:
  FILE* file_;
  std::size_t used_ = 0;
  bool failed_ = false;
  unsigned char buf_[1 << 16];
};
