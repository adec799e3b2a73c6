// The importer's weld of keys by their bytes (positions, texture
// coordinates): equal keys get one id, numbered in order of first
// appearance, found on several threads with the keys sharded by their hash.
// A reader's hints (weld_hint.h) save most keys the hashing: a key whose file
// entry was met before is compared with that entry's key first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace scene {

// A run of keys: key i at bytes + i * stride (a stride of 0 repeats one key),
// with the reader's hint for each, or none.
struct WeldRun {
  const void* bytes = nullptr;
  size_t stride = 0;
  size_t count = 0;
  const uint32_t* hints = nullptr;
};

struct Welded {
  std::vector<int> id;        // per key of the runs one after another
  std::vector<size_t> first;  // per id: its first key
};

// Welds the keys of `runs`, each `size` bytes. Hints name entries below
// `entries`. The result does not depend on `threads`.
Welded Weld(const std::vector<WeldRun>& runs, size_t size, uint32_t entries, int threads);

}  // namespace scene
