// Reading .thm files into the model of model.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "thm/model.h"

namespace thm {

// A fault in a file: where it is and what was wrong there.
struct Problem {
  std::size_t offset = 0;
  std::string what;
  bool over_limit = false;  // the memory limit, not the bytes, stopped reading
};

class ParseError : public std::runtime_error {
 public:
  ParseError(std::size_t offset, const std::string& what);
  std::size_t offset() const { return offset_; }
  // The description without the offset prefix.
  const std::string& what_only() const { return what_; }
  virtual Problem problem() const { return {offset_, what_}; }

 private:
  std::size_t offset_;
  std::string what_;
};

// Reading would allocate more than the limit given to Parse.
class LimitError : public ParseError {
 public:
  using ParseError::ParseError;
  Problem problem() const override { return {offset(), what_only(), true}; }
};

struct ParseResult {
  File file;                     // every record read completely before any error
  std::optional<Problem> error;  // the first fault that stopped reading
  bool ok() const { return !error; }
};

// Never throws on bad input; never reads past the buffer. With a memory limit,
// the model read never takes more than that many bytes: an element count that
// would pass it stops reading with a problem marked over_limit.
ParseResult Parse(std::span<const std::uint8_t> bytes);
ParseResult Parse(std::span<const std::uint8_t> bytes, std::size_t memory_limit);

// As Parse, but throws ParseError at the first fault.
File Read(std::span<const std::uint8_t> bytes);

// Whole file into memory; throws std::runtime_error when it cannot be read.
std::vector<std::uint8_t> LoadFile(const std::string& path);

}  // namespace thm
