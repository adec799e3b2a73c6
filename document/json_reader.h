// Reading JSON the way scene documents are read: simdjson's On-Demand parser
// walks the text once, in document order, and values go straight to where
// they belong. Every value is checked for type and range as it is read, and a
// problem is one DocumentError naming the file, the JSON pointer of the value
// and what is wrong. The pointer is kept as a cheap stack of keys and indices
// and spelled out only when an error is raised.
//
// When the text itself is broken, simdjson stops; the text is then read once
// more with nlohmann-json's parser (no DOM), only to word the error as that
// parser does: at which line and column, and what was expected.
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "document/error.h"

namespace scene::json {

namespace sj = simdjson::ondemand;

// The JSON pointer of the value being read.
class Path {
 public:
  void PushKey(std::string_view key) { parts_.push_back({key, 0, false}); }
  void PushIndex(size_t index) { parts_.push_back({{}, index, true}); }
  void SetIndex(size_t index) { parts_.back().index = index; }
  void Pop() { parts_.pop_back(); }
  size_t Depth() const { return parts_.size(); }
  // "/nodes/0/name"; "" for the document. A very deep pointer keeps its first
  // and last parts around "/...(N more)...".
  std::string Render() const;
  // The pointer of the child `key` of the current value.
  std::string Child(std::string_view key) const;

 private:
  struct Part {
    std::string_view key;  // points into the parser's buffer or a literal
    size_t index;
    bool isIndex;
  };
  std::vector<Part> parts_;
};

// Pushes a part for the life of a scope.
class Step {
 public:
  Step(Path& p, std::string_view key) : p_(p) { p.PushKey(key); }
  Step(Path& p, size_t index) : p_(p) { p.PushIndex(index); }
  ~Step() { p_.Pop(); }
  Step(const Step&) = delete;
  Step& operator=(const Step&) = delete;

 private:
  Path& p_;
};

// simdjson refused the text: the reader explains it (see Reader::Explain).
struct SyntaxFault {
  simdjson::error_code code;
};

// A number as the text writes it: an integer token (signed or not) or not.
struct Number {
  enum Kind { kSigned, kUnsigned, kFloat } kind = kSigned;
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0;
  double AsDouble() const { return kind == kSigned ? double(i) : kind == kUnsigned ? double(u) : d; }
  // As the value is shown in messages.
  std::string Text() const;
};

class Reader {
 public:
  explicit Reader(std::string file) : file_(std::move(file)) {}

  Path path;
  const std::string& File() const { return file_; }

  [[noreturn]] void Fail(const std::string& message) const;
  [[noreturn]] void FailAt(const std::string& pointer, const std::string& message) const;

  template <class T>
  T Get(simdjson::simdjson_result<T>&& r) const {
    T out;
    if (auto e = std::move(r).get(out)) throw SyntaxFault{e};
    return out;
  }

  sj::json_type Type(sj::value& v) const { return Get(v.type()); }
  static const char* TypeName(sj::json_type t);
  // "expected <what>, got <type>" unless ok.
  void Expect(bool ok, const std::string& what, sj::json_type got) const;

  // The value's text as it would be written compactly, for messages.
  std::string Dump(sj::value& v) const;

  sj::object Object(sj::value& v, const char* what = "an object") const;
  sj::array Array(sj::value& v, const char* what = "an array") const;
  // An array of exactly n numbers ("expected an array of n numbers, got ...").
  sj::array ArrayOf(sj::value& v, size_t n) const;
  size_t Count(sj::array& a) const { return Get(a.count_elements()); }

  bool Bool(sj::value& v) const;
  // A string without zero characters; the view lives as long as the document.
  std::string_view String(sj::value& v) const;
  bool IsNull(sj::value& v) const { return Type(v) == sj::json_type::null; }

  Number Num(sj::value& v) const;
  // Integers and floats are read the fast way first; only a value that is not
  // what the document should hold is looked at again to word the problem.
  int64_t Int(sj::value& v, int64_t lo, int64_t hi) const;
  int32_t Int32(sj::value& v) const { return static_cast<int32_t>(Int(v, INT32_MIN, INT32_MAX)); }
  uint32_t Uint32(sj::value& v) const { return static_cast<uint32_t>(Int(v, 0, UINT32_MAX)); }
  double Double(sj::value& v) const;
  float Float(sj::value& v) const;

  // The unknown-key error for `key` in an object that allows `allowed`.
  [[noreturn]] void UnknownKey(std::string_view key, std::initializer_list<std::string_view> allowed) const;

  // The error for a text that simdjson refused with `code` (parse `text` again
  // to word it); a DocumentError either way.
  [[noreturn]] void Explain(std::string_view text, simdjson::error_code code) const;

 private:
  std::string file_;
};

// "\"text\"" with control characters escaped, for messages.
std::string Quote(std::string_view s);
// A string as JSON writes it (quotes, escapes), for messages.
std::string DumpString(std::string_view s);

// A document's text with the padding simdjson reads past its end: a regular
// file is mapped (its pages come straight from the page cache), anything else
// read into a buffer.
class Text {
 public:
  Text() = default;
  explicit Text(std::string_view text) : buffer_(text) {}
  Text(Text&& o) noexcept;
  Text& operator=(Text&&) = delete;
  ~Text();
  simdjson::padded_string_view View() const;
  std::string_view Chars() const;

  // Throws DocumentError when the file cannot be read.
  static Text Load(const std::string& path);

 private:
  simdjson::padded_string buffer_;
  void* map_ = nullptr;
  size_t mapSize_ = 0, size_ = 0;
};

}  // namespace scene::json
