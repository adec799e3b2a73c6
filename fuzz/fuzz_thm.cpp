// The .thm reader and checker on any bytes: records, or the first problem; and
// under a memory limit, the same records up to where the limit stops it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "thm/check.h"
#include "thm/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const thm::ParseResult r = thm::Parse({data, size});
  if (r.ok()) thm::Check(r.file);
  // A limit never changes what is read before it stops reading.
  const thm::ParseResult bounded = thm::Parse({data, size}, 4096);
  if (bounded.file.records.size() > r.file.records.size()) std::abort();
  if (!bounded.error && (r.error || bounded.file.records.size() != r.file.records.size())) std::abort();
  if (bounded.error && !bounded.error->over_limit &&
      (!r.error || r.error->offset != bounded.error->offset || r.error->what != bounded.error->what))
    std::abort();
  return 0;
}
