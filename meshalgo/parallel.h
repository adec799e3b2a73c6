// Stages that split over a few threads: a range cut into as many contiguous
// parts as there are threads, each part's results kept apart and joined in
// the order of the parts, so that the result does not depend on the threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace scene::parallel {

// Parts below this many items are not worth a thread.
constexpr size_t kGrain = 1 << 14;

// How many parts [0, n) goes in with `threads` threads.
inline int Parts(size_t n, int threads) {
  const size_t most = std::max<size_t>(1, n / kGrain);
  return static_cast<int>(std::min<size_t>(static_cast<size_t>(std::max(threads, 1)), most));
}

// Part `k` of `parts` of [0, n): [begin, end).
inline size_t PartBegin(size_t n, int parts, int k) {
  return n / static_cast<size_t>(parts) * static_cast<size_t>(k) +
         std::min(static_cast<size_t>(k), n % static_cast<size_t>(parts));
}

// Runs fn(k, begin, end) for each of `parts` parts of [0, n), part 0 on this
// thread and the rest each on one of their own; returns when all are done.
// The first exception a part throws is thrown here.
template <class Fn>
void ForParts(size_t n, int parts, Fn fn) {
  if (parts <= 1) {
    fn(0, size_t(0), n);
    return;
  }
  std::vector<std::exception_ptr> failed(static_cast<size_t>(parts));
  auto run = [&](int k) {
    try {
      fn(k, PartBegin(n, parts, k), PartBegin(n, parts, k + 1));
    } catch (...) {
      failed[static_cast<size_t>(k)] = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(parts - 1));
  for (int k = 1; k < parts; ++k) {
    try {
      threads.emplace_back(run, k);
    } catch (const std::system_error&) {
      run(k);  // no thread to be had: this one does it
    }
  }
  run(0);
  for (std::thread& t : threads) t.join();
  for (const std::exception_ptr& e : failed)
    if (e) std::rethrow_exception(e);
}

}  // namespace scene::parallel
