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
#include <functional>
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

class WireOut;

// Appends `s` to `out`.
void WriteScene(const scene::Scene& s, std::string& out);
// Writes `s` through `w`.
void WriteScene(const scene::Scene& s, WireOut& w);
// The scene written by WriteScene from `bytes`; `at` moves past it.
std::unique_ptr<scene::Scene> ReadScene(std::string_view bytes, size_t& at);

// Little-endian fields, as the scene is written; for the import's envelope.
// Appended to a string; or only counted; or streamed to a descriptor through
// a small buffer, long arrays written from where they lie, so that a large
// scene is never copied whole.
class WireOut {
 public:
  explicit WireOut(std::string& out) : out_(&out) {}
  // Where a stream goes: true when all of the bytes went.
  using Sink = std::function<bool(std::string_view)>;
  // Keeps nothing: Size() tells how many bytes were written.
  static WireOut Counting() { return WireOut(nullptr, nullptr); }
  // Streams to `sink`; Flush() sends what is buffered. A failed write makes
  // Failed() true and drops the rest.
  static WireOut Streaming(Sink sink) { return WireOut(nullptr, std::move(sink)); }

  void U8(uint8_t v) {
    const char c = static_cast<char>(v);
    Bytes(&c, 1);
  }
  void U32(uint32_t v);
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void U64(uint64_t v);
  void F32(float v);
  void F64(double v);
  void Str(std::string_view s);
  void Bytes(const void* p, size_t n);

  uint64_t Size() const { return size_; }
  // Whether bytes are only counted: then Skip(n) stands for n bytes.
  bool CountsOnly() const { return !out_ && !sink_; }
  void Skip(uint64_t n) { size_ += n; }
  bool Flush();
  bool Failed() const { return failed_; }

 private:
  WireOut(std::string* out, Sink sink) : out_(out), sink_(std::move(sink)) {}
  std::string* out_;
  Sink sink_;
  std::vector<char> buffer_;
  uint64_t size_ = 0;
  bool failed_ = false;
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
