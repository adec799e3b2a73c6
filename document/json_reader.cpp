#include "document/json_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <utility>

namespace scene::json {

namespace {

// Pointers past this many parts keep their first and last parts only, so that
// a message about a deeply nested value stays a line a person can read.
constexpr size_t kMaxShownParts = 48;
constexpr size_t kShownHead = 24, kShownTail = 16;

void AppendKey(std::string& out, std::string_view key) {
  out += '/';
  for (char c : key) {
    if (c == '~')
      out += "~0";
    else if (c == '/')
      out += "~1";
    else
      out += c;
  }
}

// Where nlohmann-json's parser stood when it found a fault: its events, as
// the path of the value being read.
class SyntaxTracker {
 public:
  using Json = nlohmann::ordered_json;
  std::string message;

  bool null() { return Value(); }
  bool boolean(bool) { return Value(); }
  bool number_integer(Json::number_integer_t) { return Value(); }
  bool number_unsigned(Json::number_unsigned_t) { return Value(); }
  bool number_float(Json::number_float_t, const std::string&) { return Value(); }
  bool string(std::string&) { return Value(); }
  bool binary(Json::binary_t&) { return Value(); }
  bool start_object(std::size_t) { return Start(false); }
  bool start_array(std::size_t) { return Start(true); }
  bool end_object() { return End(); }
  bool end_array() { return End(); }
  bool key(std::string& k) {
    if (!stack_.empty()) {
      stack_.back().key = k;
      stack_.back().keyed = true;
    }
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    std::string what = e.what();
    if (const auto* p = dynamic_cast<const nlohmann::detail::parse_error*>(&e)) {
      auto [line, column] = LineColumn(p->byte > 0 ? p->byte - 1 : 0);
      // Drop the library's "[json.exception.parse_error.101] parse error at line 1, column 2: " prefix.
      if (auto cut = what.find(": "); cut != std::string::npos) what = what.substr(cut + 2);
      message = "not valid JSON at line " + std::to_string(line) + ", column " + std::to_string(column) +
                ": " + what;
    } else if (dynamic_cast<const nlohmann::detail::out_of_range*>(&e)) {
      // The parser refuses a number too large for a double.
      if (auto cut = what.find("] "); cut != std::string::npos) what = what.substr(cut + 2);
      message = what + " (not a finite number)";
    } else {
      message = what;
    }
    pointer = Where();
    return false;
  }

  explicit SyntaxTracker(std::string_view text) : text_(text) {}
  std::string pointer;

 private:
  struct Frame {
    bool array = false;
    bool keyed = false;
    long index = -1;
    std::string key;
  };

  bool Start(bool array) {
    Advance();
    stack_.push_back(Frame{array, false, -1, {}});
    return true;
  }
  bool End() {
    if (!stack_.empty()) stack_.pop_back();
    return true;
  }
  bool Value() {
    Advance();
    return true;
  }
  void Advance() {
    if (!stack_.empty() && stack_.back().array) ++stack_.back().index;
  }

  // The path of the value being read: the innermost array's element counts as
  // begun (the parser failed inside it before announcing it).
  std::string Where() const {
    std::string out;
    for (size_t i = 0; i < stack_.size(); ++i) {
      if (stack_.size() > kMaxShownParts && i == kShownHead) {
        out += "/...(" + std::to_string(stack_.size() - kShownHead - kShownTail) + " more)...";
        i = stack_.size() - kShownTail;
      }
      const Frame& f = stack_[i];
      if (f.array) {
        const long index = f.index + (i + 1 == stack_.size() ? 1 : 0);
        if (index >= 0) out.append("/").append(std::to_string(index));
      } else if (f.keyed) {
        AppendKey(out, f.key);
      }
    }
    return out;
  }

  std::pair<int, int> LineColumn(size_t byte) const {
    int line = 1, column = 1;
    for (size_t i = 0; i < byte && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    return {line, column};
  }

  std::string_view text_;
  std::vector<Frame> stack_;
};

}  // namespace

// ---- Paths --------------------------------------------------------------------

std::string Path::Render() const {
  std::string out;
  for (size_t i = 0; i < parts_.size(); ++i) {
    if (parts_.size() > kMaxShownParts && i == kShownHead) {
      out += "/...(" + std::to_string(parts_.size() - kShownHead - kShownTail) + " more)...";
      i = parts_.size() - kShownTail;
    }
    const Part& p = parts_[i];
    if (p.isIndex)
      out.append("/").append(std::to_string(p.index));
    else
      AppendKey(out, p.key);
  }
  return out;
}

std::string Path::Child(std::string_view key) const {
  std::string out = Render();
  AppendKey(out, key);
  return out;
}

std::string Number::Text() const {
  if (kind == kSigned) return std::to_string(i);
  if (kind == kUnsigned) return std::to_string(u);
  return nlohmann::json(d).dump();
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string DumpString(std::string_view s) {
  return nlohmann::json(std::string(s)).dump();
}

// ---- Reader -------------------------------------------------------------------

void Reader::Fail(const std::string& message) const {
  throw DocumentError(file_, path.Render(), message);
}

void Reader::FailAt(const std::string& pointer, const std::string& message) const {
  throw DocumentError(file_, pointer, message);
}

const char* Reader::TypeName(sj::json_type t) {
  switch (t) {
    case sj::json_type::array:
      return "array";
    case sj::json_type::object:
      return "object";
    case sj::json_type::number:
      return "number";
    case sj::json_type::string:
      return "string";
    case sj::json_type::boolean:
      return "boolean";
    case sj::json_type::null:
      return "null";
  }
  return "value";
}

void Reader::Expect(bool ok, const std::string& what, sj::json_type got) const {
  if (!ok) Fail("expected " + what + ", got " + TypeName(got));
}

std::string Reader::Dump(sj::value& v) const {
  std::string_view raw;
  switch (Type(v)) {
    case sj::json_type::object: {
      sj::object o = Get(v.get_object());
      raw = Get(o.raw_json());
      break;
    }
    case sj::json_type::array: {
      sj::array a = Get(v.get_array());
      raw = Get(a.raw_json());
      break;
    }
    default:
      raw = v.raw_json_token();
      break;
  }
  // Written as nlohmann-json writes it, keys in their order. A value simdjson
  // passed over unread may still be broken: that is an error of the text.
  try {
    return nlohmann::ordered_json::parse(raw.begin(), raw.end()).dump();
  } catch (const nlohmann::json::exception&) {
    throw SyntaxFault{simdjson::TAPE_ERROR};
  }
}

sj::object Reader::Object(sj::value& v, const char* what) const {
  const sj::json_type t = Type(v);
  Expect(t == sj::json_type::object, what, t);
  return Get(v.get_object());
}

sj::array Reader::Array(sj::value& v, const char* what) const {
  const sj::json_type t = Type(v);
  Expect(t == sj::json_type::array, what, t);
  return Get(v.get_array());
}

sj::array Reader::ArrayOf(sj::value& v, size_t n) const {
  const std::string what = "an array of " + std::to_string(n) + " numbers";
  sj::array a = Array(v, what.c_str());
  const size_t count = Count(a);
  if (count != n) Fail("expected " + what + ", got " + std::to_string(count) + " entries");
  return a;
}

bool Reader::Bool(sj::value& v) const {
  const sj::json_type t = Type(v);
  Expect(t == sj::json_type::boolean, "true or false", t);
  return Get(v.get_bool());
}

std::string_view Reader::String(sj::value& v) const {
  const sj::json_type t = Type(v);
  Expect(t == sj::json_type::string, "a string", t);
  std::string_view s = Get(v.get_string());
  // The host hands strings out as C strings: a zero byte would cut them short.
  if (s.find('\0') != std::string_view::npos) Fail("string contains a zero character");
  return s;
}

Number Reader::Num(sj::value& v) const {
  Number n;
  switch (Get(v.get_number_type())) {
    case sj::number_type::signed_integer:
      if (v.get_int64().get(n.i) == simdjson::SUCCESS) return n;
      break;  // beyond 64 bits: a float, as JSON parsers read it
    case sj::number_type::unsigned_integer:
      if (v.get_uint64().get(n.u) == simdjson::SUCCESS) {
        n.kind = Number::kUnsigned;
        return n;
      }
      break;
    default:
      break;
  }
  n.kind = Number::kFloat;
  n.d = Get(v.get_double());
  return n;
}

int64_t Reader::Int(sj::value& v, int64_t lo, int64_t hi) const {
  int64_t x;
  if (v.get_int64().get(x) == simdjson::SUCCESS) {
    if (x < lo || x > hi)
      Fail(std::to_string(x) + " is out of range (" + std::to_string(lo) + " to " + std::to_string(hi) + ")");
    return x;
  }
  // Nothing was consumed: not an integer that fits 64 bits.
  const sj::json_type t = Type(v);
  Expect(t == sj::json_type::number, "an integer", t);
  const Number n = Num(v);
  Expect(n.kind != Number::kFloat, "an integer", t);
  const bool ok = n.kind == Number::kSigned
                      ? n.i >= lo && n.i <= hi
                      : n.u <= static_cast<uint64_t>(hi) && (lo <= 0 || n.u >= static_cast<uint64_t>(lo));
  if (!ok) Fail(n.Text() + " is out of range (" + std::to_string(lo) + " to " + std::to_string(hi) + ")");
  return n.kind == Number::kSigned ? n.i : static_cast<int64_t>(n.u);
}

double Reader::Double(sj::value& v) const {
  const sj::json_type t = Type(v);
  Expect(t == sj::json_type::number, "a number", t);
  const double d = Num(v).AsDouble();
  if (!std::isfinite(d)) Fail("not a finite number");
  return d;
}

float Reader::Float(sj::value& v) const {
  const std::string_view token = v.raw_json_token();
  double d;
  if (v.get_double().get(d) == simdjson::SUCCESS) {
    if (!(std::fabs(d) <= FLT_MAX)) Fail(nlohmann::json(d).dump() + " is out of range for a 32-bit float");
    // "-0" is the integer 0, which is +0.0 as a float.
    if (d == 0 && std::signbit(d) && token.find_first_of(".eE") == std::string_view::npos) d = 0.0;
    return static_cast<float>(d);
  }
  const sj::json_type t = Type(v);
  Expect(t == sj::json_type::number, "a number", t);
  const Number n = Num(v);
  d = n.AsDouble();
  if (!std::isfinite(d)) Fail("not a finite number");
  if (std::fabs(d) > FLT_MAX) Fail(n.Text() + " is out of range for a 32-bit float");
  return static_cast<float>(d);
}

void Reader::UnknownKey(std::string_view key, std::initializer_list<std::string_view> allowed) const {
  std::string list;
  for (auto a : allowed) list += (list.empty() ? "" : ", ") + std::string(a);
  FailAt(path.Child(key), "unknown key " + Quote(key) + " (allowed here: " + list + ")");
}

void Reader::Explain(std::string_view text, simdjson::error_code code) const {
  SyntaxTracker t(text);
  nlohmann::ordered_json::sax_parse(text.begin(), text.end(), &t);
  if (!t.message.empty()) FailAt(t.pointer, t.message);
  // The text is JSON after all: what simdjson would not take is ours to word.
  if (code == simdjson::DEPTH_ERROR) Fail("values are nested too deeply");
  if (code == simdjson::CAPACITY) FailAt("", "the document is too large (more than 4 GiB)");
  Fail(std::string("cannot be read: ") + simdjson::error_message(code));
}

Text::Text(Text&& o) noexcept
    : buffer_(std::move(o.buffer_)),
      map_(std::exchange(o.map_, nullptr)),
      mapSize_(o.mapSize_),
      size_(o.size_) {}

Text::~Text() {
  if (map_) munmap(map_, mapSize_);
}

simdjson::padded_string_view Text::View() const {
  if (map_) return simdjson::padded_string_view(static_cast<const char*>(map_), size_, mapSize_);
  return simdjson::padded_string_view(buffer_);
}

std::string_view Text::Chars() const {
  return map_ ? std::string_view(static_cast<const char*>(map_), size_) : std::string_view(buffer_);
}

Text Text::Load(const std::string& path) {
  auto fail = [&path](int err) {
    return DocumentError(path, "", std::string("cannot be read: ") + std::strerror(err));
  };
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw fail(errno);
  struct stat st;
  Text t;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    // The file, then zero pages for the padding: an anonymous reservation
    // with the file mapped over its start.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t size = static_cast<size_t>(st.st_size);
    const size_t total = (size + simdjson::SIMDJSON_PADDING + page - 1) / page * page;
    void* area = mmap(nullptr, total, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area != MAP_FAILED) {
      void* file = mmap(area, size, PROT_READ, MAP_PRIVATE | MAP_FIXED | MAP_POPULATE, fd, 0);
      if (file != MAP_FAILED) {
        close(fd);
        t.map_ = area;
        t.mapSize_ = total;
        t.size_ = size;
        return t;
      }
      munmap(area, total);
    }
  }
  // Pipes, devices, directories and empty files: read as a stream.
  std::string all;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
  const int err = errno;
  close(fd);
  if (n < 0) throw fail(err ? err : EIO);
  t.buffer_ = simdjson::padded_string(all);
  t.size_ = all.size();
  return t;
}

}  // namespace scene::json
