// Little-endian expected bytes, built field by field, for every test that
// checks what a writer wrote or hands a reader a file of its own making.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/geom.h"

namespace tarntest {

class Bytes {
 public:
  Bytes& u8(std::uint8_t v) {
    s_.push_back(static_cast<char>(v));
    return *this;
  }
  Bytes& u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s_.push_back(static_cast<char>(v >> (8 * i)));
    return *this;
  }
  Bytes& i32(std::int32_t v) { return u32(static_cast<std::uint32_t>(v)); }
  Bytes& f32(float v) { return u32(std::bit_cast<std::uint32_t>(v)); }
  Bytes& f32(float x, float y, float z) { return f32(x).f32(y).f32(z); }
  Bytes& vec3(float x, float y, float z) { return f32(x, y, z); }
  Bytes& p3(const Point3& p) { return f32(p.x, p.y, p.z); }
  // The four rows of a host matrix.
  Bytes& matrix(const Matrix3& m) {
    for (int r = 0; r < 4; ++r) p3(m.GetRow(r));
    return *this;
  }
  // The text and its zero byte.
  Bytes& str(std::string_view v) {
    s_.append(v);
    s_.push_back('\0');
    return *this;
  }
  Bytes& raw(std::string_view v) {
    s_.append(v);
    return *this;
  }
  Bytes& raw(std::initializer_list<std::uint8_t> bytes) {
    for (std::uint8_t b : bytes) u8(b);
    return *this;
  }
  Bytes& append(std::span<const std::uint8_t> bytes) {
    s_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return *this;
  }
  Bytes& append(const Bytes& other) {
    const std::size_t base = s_.size();
    for (const auto& [name, at] : other.marks_) marks_[name] = base + at;
    s_ += other.s_;
    return *this;
  }

  // Names the current offset, so that tests can patch or expect it later.
  Bytes& mark(const std::string& name) {
    marks_[name] = s_.size();
    return *this;
  }
  std::size_t at(const std::string& name) const {
    auto it = marks_.find(name);
    if (it == marks_.end()) throw std::out_of_range("no mark " + name);
    return it->second;
  }

  // Overwrites in place, for corrupting a valid buffer.
  Bytes& put_u8(std::size_t offset, std::uint8_t v) {
    s_.at(offset) = static_cast<char>(v);
    return *this;
  }
  Bytes& put_u32(std::size_t offset, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s_.at(offset + i) = static_cast<char>(v >> (8 * i));
    return *this;
  }
  Bytes& put_i32(std::size_t offset, std::int32_t v) {
    return put_u32(offset, static_cast<std::uint32_t>(v));
  }
  Bytes& put_f32(std::size_t offset, float v) { return put_u32(offset, std::bit_cast<std::uint32_t>(v)); }

  std::size_t size() const { return s_.size(); }
  std::vector<std::uint8_t> data() const { return {s_.begin(), s_.end()}; }
  const std::string& str() const { return s_; }
  operator const std::string&() const { return s_; }
  std::span<const std::uint8_t> span() const {
    return {reinterpret_cast<const std::uint8_t*>(s_.data()), s_.size()};
  }
  operator std::span<const std::uint8_t>() const { return span(); }

 private:
  std::string s_;
  std::map<std::string, std::size_t> marks_;
};

// Bytes as "0A FF ..." for failure messages.
inline std::string Hex(std::string_view b) {
  std::string out;
  char tmp[4];
  for (unsigned char c : b) {
    std::snprintf(tmp, sizeof tmp, "%02X ", c);
    out += tmp;
  }
  return out;
}

inline std::span<const std::uint8_t> AsSpan(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace tarntest
