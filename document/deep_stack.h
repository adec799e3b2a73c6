// Runs a function on a thread of its own whose stack holds the deepest
// recursion the readers allow (a node tree kMaxNodeDepth deep), whatever stack
// the caller was given: a deep but permitted input must not overflow the
// stack of a caller started under a small `ulimit -s` or a sanitizer.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>

namespace scene {

// Reserved address space, committed only as far as the recursion goes.
inline constexpr size_t kDeepStackBytes = size_t(256) << 20;

// Calls `f` on such a thread and waits for it; an exception `f` throws is
// rethrown here. Runs `f` on the caller's stack if no thread can be made.
void OnDeepStack(const std::function<void()>& f);

}  // namespace scene
