// Seeded random choices for the randomized comparisons with the literal algorithms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

namespace tarntest {

struct Rng {
  std::mt19937 g;
  explicit Rng(uint32_t seed) : g(seed) {}
  int Int(int n) { return static_cast<int>(g() % static_cast<uint32_t>(n)); }
  bool Chance(int percent) { return Int(100) < percent; }
  template <class T, size_t N>
  T Pick(const T (&a)[N]) {
    return a[Int(N)];
  }
};

}  // namespace tarntest
