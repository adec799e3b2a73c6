// Frees vectors' memory at once rather than at the end of their scope: the
// importer's large arrays go as soon as their stage is done, which keeps the
// peak down and lets later stages reuse the pages.
#pragma once

#include <utility>

namespace scene {

template <class... V>
void Release(V&... v) {
  ((V().swap(v)), ...);
}

}  // namespace scene
