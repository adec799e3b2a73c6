// The fast way through the long number arrays of a mesh: a scanner of their
// text (numbers in the JSON grammar, separated as JSON separates them) and
// fast reads of single values for the careful pass. Each gives up (false) on
// anything unusual; the caller then reads again with care, which words the
// problem.
#pragma once

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>

#include "document/json_reader.h"

namespace scene::doc {

namespace sj = json::sj;
using json::SyntaxFault;

// A number the fast way, for long arrays: false when it is not what the
// document should hold (the caller then reads the element again with care).
inline bool FastFloat(sj::value& v, float* out) {
  const std::string_view token = v.raw_json_token();
  double d;
  if (v.get_double().get(d) != simdjson::SUCCESS || !(std::fabs(d) <= FLT_MAX)) return false;
  // "-0" is the integer 0, which is +0.0 as a float.
  if (d == 0 && std::signbit(d) && token.find_first_of(".eE") == std::string_view::npos) d = 0.0;
  *out = static_cast<float>(d);
  return true;
}

inline bool FastInt(sj::value& v, int64_t lo, int64_t hi, int64_t* out) {
  int64_t x;
  if (v.get_int64().get(x) != simdjson::SUCCESS || x < lo || x > hi) return false;
  *out = x;
  return true;
}

// Reads up to `max` numbers of a short array the fast way with `read`; false
// (the array rewound) when it holds anything else or another count than
// `min` to `max`.
template <class T, class Read>
bool FastSmall(sj::array& a, size_t min, size_t max, T* out, size_t* count, Read read) {
  size_t k = 0;
  bool ok = true;
  for (auto y : a) {
    sj::value z;
    if (k == max || std::move(y).get(z) != simdjson::SUCCESS || !read(z, &out[k])) {
      ok = false;
      break;
    }
    ++k;
  }
  *count = k;
  if (ok && k >= min) return true;
  if (auto err = a.reset().error()) throw SyntaxFault{err};
  return false;
}

// The long arrays of a mesh are read from their text with a scanner of their
// own: numbers in the JSON grammar, separated as JSON separates them. When
// the text holds anything else, the scanner gives up and the array is read
// again the careful way, which words the problem.
class Scan {
 public:
  explicit Scan(std::string_view s) : p_(s.data()), e_(s.data() + s.size()) {}

  bool Is(char c) {
    Ws();
    if (p_ < e_ && *p_ == c) {
      ++p_;
      return true;
    }
    return false;
  }
  bool AtEnd() {
    Ws();
    return p_ == e_;
  }

  // An integer token in lo..hi.
  bool Int(int64_t lo, int64_t hi, int64_t* out) {
    Ws();
    const char* q = p_;
    const bool neg = q < e_ && *q == '-';
    q += neg;
    const char* digits = q;
    uint64_t v = 0;
    while (q < e_ && static_cast<unsigned>(*q - '0') < 10 && q - digits < 19)
      v = v * 10 + static_cast<unsigned>(*q++ - '0');
    const size_t n = static_cast<size_t>(q - digits);
    if (n == 0 || n > 18 || (n > 1 && *digits == '0')) return false;
    if (q < e_ && (static_cast<unsigned>(*q - '0') < 10 || *q == '.' || *q == 'e' || *q == 'E')) return false;
    const int64_t x = neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    if (x < lo || x > hi) return false;
    *out = x;
    p_ = q;
    return true;
  }

  // A number as a float32: an integer token converts exactly as an integer
  // would ("-0" is +0.0), anything else is rounded from its decimal once to
  // double, then to float, as the careful reader does.
  bool Float(float* out) {
    Ws();
    const char* start = p_;
    const char* q = p_;
    const bool neg = q < e_ && *q == '-';
    q += neg;
    const char* digits = q;
    uint64_t v = 0;  // the significand's digits, while they fit
    int sig = 0;
    while (q < e_ && static_cast<unsigned>(*q - '0') < 10) {
      if (sig < 19) v = v * 10 + static_cast<unsigned>(*q - '0');
      sig += sig > 0 || *q != '0';
      ++q;
    }
    const size_t n = static_cast<size_t>(q - digits);
    if (n == 0 || (n > 1 && *digits == '0')) return false;
    bool integer = true;
    int scale = 0;  // the significand's power of ten
    if (q < e_ && *q == '.') {
      integer = false;
      const char* f = ++q;
      while (q < e_ && static_cast<unsigned>(*q - '0') < 10) {
        if (sig < 19) {
          v = v * 10 + static_cast<unsigned>(*q - '0');
          --scale;
        }
        sig += sig > 0 || *q != '0';
        ++q;
      }
      if (q == f) return false;
    }
    bool expOk = true;
    if (q < e_ && (*q == 'e' || *q == 'E')) {
      integer = false;
      ++q;
      const bool eneg = q < e_ && *q == '-';
      if (q < e_ && (*q == '+' || *q == '-')) ++q;
      const char* x = q;
      int ev = 0;
      while (q < e_ && static_cast<unsigned>(*q - '0') < 10) {
        if (ev < 10000) ev = ev * 10 + (*q - '0');
        ++q;
      }
      if (q == x) return false;
      expOk = ev < 10000;
      scale += eneg ? -ev : ev;
    }
    double d;
    if (integer && n <= 18) {
      d = neg ? -static_cast<double>(static_cast<int64_t>(v)) : static_cast<double>(v);
      if (d == 0) d = 0.0;
    } else if (expOk && sig <= 15 && scale >= -22 && scale <= 22) {
      // Both the significand and the power of ten are exact doubles, so one
      // multiplication or division rounds once: the correctly rounded value.
      static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
      d = static_cast<double>(v);
      d = scale < 0 ? d / kPow10[-scale] : d * kPow10[scale];
      if (neg) d = -d;
    } else {
      auto r = std::from_chars(start, q, d);
      if (r.ec != std::errc() || r.ptr != q) return false;
    }
    if (!(std::fabs(d) <= FLT_MAX)) return false;
    *out = static_cast<float>(d);
    p_ = q;
    return true;
  }

  // "[" elem ("," elem)* "]" or "[]", each element read by `elem`.
  template <class Elem>
  bool Array(Elem elem) {
    if (!Is('[')) return false;
    if (Is(']')) return true;
    do {
      if (!elem()) return false;
    } while (Is(','));
    return Is(']');
  }

  // "[" min to max numbers "]" into out, each read by `read`.
  template <class T, class Read>
  bool Tuple(size_t min, size_t max, T* out, size_t* count, Read read) {
    size_t k = 0;
    const bool ok = Array([&] { return k < max && read(&out[k++]); });
    *count = k;
    return ok && k >= min;
  }

 private:
  void Ws() {
    while (p_ < e_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  const char* p_;
  const char* e_;
};

}  // namespace scene::doc
