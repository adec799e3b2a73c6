#include "context/record_writer.h"

#include <bit>
#include <cstring>

bool RecordWriter::Flush() {
  if (failed_) return false;
  const std::size_t n = used_;
  used_ = 0;
  if (n != 0 && std::fwrite(buf_, 1, n, file_) != n) failed_ = true;
  return !failed_;
}

bool RecordWriter::Bytes(const void* data, std::size_t size) {
  if (failed_) return false;
  if (used_ + size > sizeof buf_) {
    if (!Flush()) return false;
    if (size > sizeof buf_) {
      if (std::fwrite(data, 1, size, file_) != size) failed_ = true;
      return !failed_;
    }
  }
  std::memcpy(buf_ + used_, data, size);
  used_ += size;
  return true;
}

bool RecordWriter::U32(std::uint32_t v) {
  const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                              static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  return Bytes(b, 4);
}

bool RecordWriter::F32(float v) {
  return U32(std::bit_cast<std::uint32_t>(v));
}

bool RecordWriter::Str(const char* text) {
  if (!text) text = "";
  return Bytes(text, std::strlen(text) + 1);
}

bool RecordWriter::StrN(const char* text, std::size_t limit) {
  return Bytes(text, strnlen(text, limit)) && U8(0);
}
