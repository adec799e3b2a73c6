// Running out of memory on demand: while a FailingAllocations lives, every
// allocation of the plug-in is counted, and the one numbered `failAt` (from 1)
// fails. A sweep runs a step with failAt = 1, 2, ... until a run no longer
// reaches the failing allocation.
#pragma once

#include <cstddef>
#include <cstdlib>

#include "context/alloc.h"

namespace tarntest {

class FailingAllocations {
 public:
  explicit FailingAllocations(long failAt) {
    failAt_ = failAt;
    count_ = 0;
    alloc::SetAllocator(&Reallocate, &std::free);
  }
  ~FailingAllocations() { alloc::SetAllocator(nullptr, nullptr); }
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;

  // Allocations asked for so far.
  long Count() const { return count_; }
  // True once the failing allocation was asked for.
  bool Reached() const { return count_ >= failAt_; }

 private:
  static void* Reallocate(void* old, std::size_t bytes) {
    if (++count_ == failAt_) return nullptr;
    return std::realloc(old, bytes);
  }
  static inline long failAt_ = 0;
  static inline long count_ = 0;
};

}  // namespace tarntest
