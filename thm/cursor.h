// Bounds-checked little-endian cursor over a byte buffer (internal to the reader).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>

#include "thm/model.h"
#include "thm/reader.h"

namespace thm::detail {

class Cursor {
 public:
  explicit Cursor(std::span<const std::uint8_t> data,
                  std::size_t memory_limit = std::numeric_limits<std::size_t>::max())
      : data_(data), budget_(memory_limit) {}

  std::size_t pos() const { return pos_; }
  std::size_t remaining() const { return data_.size() - pos_; }
  bool at_end() const { return pos_ == data_.size(); }

  [[noreturn]] void fail(std::size_t offset, const std::string& what) const {
    throw ParseError(offset, what);
  }

  // Counts n elements of `size` bytes against the memory limit before they are
  // allocated; `at` is the offset of the count that asked for them.
  void charge(std::size_t at, std::size_t n, std::size_t size) {
    if (n > budget_ / size)
      throw LimitError(at, "reading needs more memory than the limit allows (" + std::to_string(budget_) +
                               " bytes left, " + std::to_string(n) + " elements of " + std::to_string(size) +
                               " bytes asked for)");
    budget_ -= n * size;
  }

  void need(std::size_t n, const char* what) const {
    if (remaining() < n)
      fail(pos_, std::string("truncated: expected ") + what + " (" + std::to_string(n) + " bytes), " +
                     std::to_string(remaining()) + " left");
  }

  std::uint8_t peek(const char* what) const {
    need(1, what);
    return data_[pos_];
  }

  std::uint8_t u8(const char* what) {
    need(1, what);
    return data_[pos_++];
  }

  std::uint32_t u32(const char* what) {
    need(4, what);
    const std::uint8_t* p = data_.data() + pos_;
    pos_ += 4;
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
  }

  std::int32_t i32(const char* what) { return static_cast<std::int32_t>(u32(what)); }
  float f32(const char* what) { return std::bit_cast<float>(u32(what)); }

  Vec3 vec3(const char* what) {
    need(12, what);
    Vec3 v;
    v.x = f32(what);
    v.y = f32(what);
    v.z = f32(what);
    return v;
  }

  Matrix43 matrix(const char* what) {
    need(48, what);
    Matrix43 m;
    for (auto& row : m.rows) row = vec3(what);
    return m;
  }

  Extra extra(const char* what) {
    need(12, what);
    Extra e;
    for (auto& w : e) w = u32(what);
    return e;
  }

  std::string str(const char* what) {
    std::size_t end = pos_;
    while (end < data_.size() && data_[end] != 0) ++end;
    if (end == data_.size()) fail(pos_, std::string("truncated: expected zero-terminated ") + what);
    charge(pos_, 1, sizeof(std::string) + end - pos_ + 1);
    std::string s(reinterpret_cast<const char*>(data_.data() + pos_), end - pos_);
    pos_ = end + 1;
    return s;
  }

  // An int32 element count, refused when negative or when the bytes left cannot
  // hold that many elements of at least min_size bytes each; so callers may reserve.
  std::size_t count(const char* what, std::size_t min_size) {
    const std::size_t at = pos_;
    const std::int32_t n = i32(what);
    if (n < 0) fail(at, std::string(what) + " is negative (" + std::to_string(n) + ")");
    const auto un = static_cast<std::size_t>(n);
    if (min_size != 0 && un > remaining() / min_size)
      fail(at, std::string(what) + " " + std::to_string(n) + " needs at least " +
                   std::to_string(std::uint64_t(un) * min_size) + " bytes, " + std::to_string(remaining()) +
                   " left");
    return un;
  }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
  std::size_t budget_;
};

}  // namespace thm::detail
