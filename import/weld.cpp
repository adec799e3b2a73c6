#include "import/weld.h"

#include <algorithm>
#include <cstring>

#include "meshalgo/flat_index.h"
#include "meshalgo/parallel.h"

namespace scene {

Welded Weld(const std::vector<WeldRun>& runs, size_t size, uint32_t entries, int threads) {
  std::vector<size_t> start{0};
  bool hinted = false;
  for (const WeldRun& r : runs) {
    start.push_back(start.back() + r.count);
    hinted = hinted || r.hints;
  }
  const size_t n = start.back();
  auto at = [&](size_t g) {
    const size_t r = static_cast<size_t>(std::upper_bound(start.begin(), start.end(), g) - start.begin()) - 1;
    return static_cast<const char*>(runs[r].bytes) + (g - start[r]) * runs[r].stride;
  };
  // Per key: the first equal key. Each thread scans every key and keeps those
  // of its shard, in order: the first of equal keys is the first it meets.
  std::vector<int> same(n);
  const int parts = parallel::Parts(n, threads);
  parallel::ForParts(static_cast<size_t>(parts), parts, [&](int k, size_t, size_t) {
    // Distinct keys are at most the entries where every key has a hint.
    IdIndex index((hinted && entries ? std::min<size_t>(n, entries) : n) / static_cast<size_t>(parts));
    // Per entry: the first key met for it in this shard, and a copy of its bytes;
    // not for a few keys of a large file (a file of many small nodes).
    const size_t memoEntries = hinted && entries <= 4 * n ? entries : 0;
    std::vector<int> memo(memoEntries, -1);
    std::vector<char> memoBytes(memoEntries * size);
    size_t g = 0;
    for (const WeldRun& run : runs) {
      const char* p = static_cast<const char*>(run.bytes);
      for (size_t i = 0; i < run.count; ++i, ++g, p += run.stride) {
        const uint64_t h = HashBytes(p, size);
        if (parts > 1 && static_cast<int>((h >> 40) % static_cast<uint64_t>(parts)) != k) continue;
        const uint32_t e = run.hints ? run.hints[i] : UINT32_MAX;
        char* known = e < memoEntries ? &memoBytes[e * size] : nullptr;
        if (known && memo[e] >= 0 && std::memcmp(known, p, size) == 0) {
          same[g] = memo[e];
          continue;
        }
        const int found = index.FindOrInsert(
            h, [&](int id) { return std::memcmp(at(size_t(id)), p, size) == 0; }, static_cast<int>(g),
            [&](int id) { return HashBytes(at(size_t(id)), size); });
        same[g] = found >= 0 ? found : static_cast<int>(g);
        if (known) {
          memo[e] = same[g];
          std::memcpy(known, p, size);
        }
      }
    }
  });
  // Ids in order of first appearance; then every other key takes its first's.
  Welded w;
  w.id.resize(n);
  for (size_t g = 0; g < n; ++g)
    if (same[g] == static_cast<int>(g)) {
      w.id[g] = static_cast<int>(w.first.size());
      w.first.push_back(g);
    }
  parallel::ForParts(n, parallel::Parts(n, threads), [&](int, size_t from, size_t to) {
    for (size_t g = from; g < to; ++g)
      if (same[g] != static_cast<int>(g)) w.id[g] = w.id[static_cast<size_t>(same[g])];
  });
  return w;
}

}  // namespace scene
