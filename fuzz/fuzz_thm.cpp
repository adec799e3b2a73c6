// The .thm reader and checker on any bytes: records, or the first problem.
#include <cstddef>
#include <cstdint>

#include "thm/check.h"
#include "thm/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const thm::ParseResult r = thm::Parse({data, size});
  if (r.ok()) thm::Check(r.file);
  return 0;
}
