// The plug-in's one allocation seam. Every block the plug-in allocates (element
// arrays, indexes, writer and skin tables, note entries) comes from the two
// functions installed here, so that running out of memory can be tried at any
// single allocation. Allocations never throw: a failure is a null pointer,
// which the caller reports or turns into a failed export.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

namespace alloc {

// Moves `old` (or nothing) to a block of `bytes`; null on failure with `old`
// untouched. Never called with 0 bytes.
using ReallocateFn = void* (*)(void* old, std::size_t bytes);
using DeallocateFn = void (*)(void* block);

// Installs the pair (nulls restore the C library's); returns nothing, since a
// test restores the defaults when done.
void SetAllocator(ReallocateFn reallocate, DeallocateFn deallocate);

void* Reallocate(void* old, std::size_t bytes);
void Deallocate(void* block);

// `count` elements of T, or null; count may be 0.
template <class T>
T* Resize(T* old, std::size_t count) {
  if (count > static_cast<std::size_t>(-1) / sizeof(T)) return nullptr;
  return static_cast<T*>(Reallocate(old, count ? count * sizeof(T) : 1));
}

struct Deleter {
  void operator()(void* block) const { Deallocate(block); }
};
// An owned array of trivial elements, uninitialised.
template <class T>
using Array = std::unique_ptr<T[], Deleter>;
template <class T>
Array<T> NewArray(std::size_t count) {
  return Array<T>(Resize<T>(nullptr, count));
}

void* New(std::size_t bytes) noexcept;

}  // namespace alloc

// Routes `new (std::nothrow) T` and `new (std::nothrow) T[n]` of a class (and
// its delete) through the seam. Plain `new T` does not compile for it, so
// that no allocation can throw past the host.
#define TARN_SEAM_ALLOCATED                                                    \
  static void* operator new(std::size_t n, const std::nothrow_t&) noexcept {   \
    return alloc::New(n);                                                      \
  }                                                                            \
  static void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { \
    return alloc::New(n);                                                      \
  }                                                                            \
  static void operator delete(void* p) noexcept {                              \
    alloc::Deallocate(p);                                                      \
  }                                                                            \
  static void operator delete[](void* p) noexcept {                            \
    alloc::Deallocate(p);                                                      \
  }                                                                            \
  static void operator delete(void* p, const std::nothrow_t&) noexcept {       \
    alloc::Deallocate(p);                                                      \
  }                                                                            \
  static void operator delete[](void* p, const std::nothrow_t&) noexcept {     \
    alloc::Deallocate(p);                                                      \
  }
