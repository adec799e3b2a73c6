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
};

class ParseError : public std::runtime_error {
 public:
  ParseError(std::size_t offset, const std::string& what);
  std::size_t offset() const { return offset_; }
  // The description without the offset prefix.
  const std::string& what_only() const { return what_; }
  Problem problem() const { return {offset_, what_}; }

 private:
  std::size_t offset_;
  std::string what_;
};

struct ParseResult {
  File file;                     // every record read completely before any error
  std::optional<Problem> error;  // the first fault that stopped reading
  bool ok() const { return !error; }
};

// Never throws on bad input; never reads past the buffer.
ParseResult Parse(std::span<const std::uint8_t> bytes);

// As Parse, but throws ParseError at the first fault.
File Read(std::span<const std::uint8_t> bytes);

// Whole file into memory; throws std::runtime_error when it cannot be read.
std::vector<std::uint8_t> LoadFile(const std::string& path);

}  // namespace thm
