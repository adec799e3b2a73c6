// Structural validation of .thm files.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "thm/model.h"
#include "thm/reader.h"

namespace thm {

// Allowed distance of a normal's length from 1.
inline constexpr float kNormalTolerance = 1e-3f;

// Reads the buffer and checks the model; the first problem in file order, or none.
std::optional<Problem> Check(std::span<const std::uint8_t> bytes);

// Checks a model already read (offsets as recorded by the reader).
std::optional<Problem> Check(const File& file);

}  // namespace thm
