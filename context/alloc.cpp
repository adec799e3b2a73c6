#include "context/alloc.h"

#include <cstdlib>

namespace alloc {

namespace {
void* CRealloc(void* old, std::size_t bytes) {
  return std::realloc(old, bytes);
}
void CFree(void* block) {
  std::free(block);
}

ReallocateFn g_reallocate = CRealloc;
DeallocateFn g_deallocate = CFree;
}  // namespace

void SetAllocator(ReallocateFn reallocate, DeallocateFn deallocate) {
  g_reallocate = reallocate ? reallocate : CRealloc;
  g_deallocate = deallocate ? deallocate : CFree;
}

void* Reallocate(void* old, std::size_t bytes) {
  return g_reallocate(old, bytes ? bytes : 1);
}

void Deallocate(void* block) {
  if (block) g_deallocate(block);
}

void* New(std::size_t bytes) noexcept {
  return Reallocate(nullptr, bytes);
}

}  // namespace alloc
