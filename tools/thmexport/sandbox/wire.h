// A host scene as bytes, for handing it from one process to another: the
// importer runs in a child process of its own and sends the scene it built
// back through a pipe. Everything the plug-in can ask the host is carried;
// floats keep their bits.
//
// Reading trusts nothing: every count is checked against the bytes left,
// every index against what it indexes, every kind against the kinds there
// are, and the scene against the rules of a scene document (class ids that
// match their kinds, conversions that yield what they name, no test hooks,
// weight tables sized by bones and vertices, nodes at most kMaxNodeDepth
// deep). A damaged stream is a WireError, never a crash or a huge allocation.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "scene/scene.h"

namespace sandbox {

class WireError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Appends `s` to `out`.
void WriteScene(const scene::Scene& s, std::string& out);
// The scene written by WriteScene from `bytes`; `at` moves past it.
std::unique_ptr<scene::Scene> ReadScene(std::string_view bytes, size_t& at);

// Little-endian fields, as the scene is written; for the import's envelope.
class WireOut {
 public:
  explicit WireOut(std::string& out) : out_(out) {}
  void U8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void U32(uint32_t v);
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void U64(uint64_t v);
  void F32(float v);
  void F64(double v);
  void Str(std::string_view s);
  void Bytes(const void* p, size_t n) { out_.append(static_cast<const char*>(p), n); }

 private:
  std::string& out_;
};

class WireIn {
 public:
  WireIn(std::string_view bytes, size_t& at) : b_(bytes), at_(at) {}
  uint8_t U8();
  uint32_t U32();
  int32_t I32() { return static_cast<int32_t>(U32()); }
  uint64_t U64();
  float F32();
  double F64();
  std::string Str();
  // A count of elements of at least `minSize` bytes each that the bytes left can hold.
  size_t Count(size_t minSize);
  // An index below `n`, or -1 when `optional`.
  int32_t Index(size_t n, bool optional);
  void Bytes(void* p, size_t n);
  [[noreturn]] void Fail(const std::string& what) const;

 private:
  void Need(size_t n) const;
  std::string_view b_;
  size_t& at_;
};

}  // namespace sandbox
