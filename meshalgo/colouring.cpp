#include "meshalgo/colouring.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <set>
#include <tuple>

namespace scene::colouring {

namespace {

int Pick(const std::vector<uint32_t>* preferred, size_t v, uint32_t free) {
  const uint32_t best = preferred ? free & (*preferred)[v] : 0;
  return std::countr_zero(best ? best : free);
}

std::vector<int> DSatur(const std::vector<std::vector<int>>& adj, int colours, int* uncoloured,
                        const std::vector<uint32_t>* preferred) {
  const size_t n = adj.size();
  const uint32_t all = colours >= 32 ? 0xffffffffu : (1u << colours) - 1;
  std::vector<int> colour(n, -1);
  std::vector<uint32_t> seen(n, 0);  // colours among a vertex's neighbours (uncoloured vertices)
  auto key = [&](size_t v) {
    return std::make_tuple(-std::popcount(seen[v]), -static_cast<long>(adj[v].size()), static_cast<long>(v));
  };
  std::set<std::tuple<int, long, long>> queue;
  std::vector<bool> waiting(n, true);
  for (size_t v = 0; v < n; ++v) queue.insert(key(v));
  auto coloursAround = [&](size_t v) {
    uint32_t m = 0;
    for (int u : adj[v])
      if (colour[u] >= 0) m |= 1u << colour[u];
    return m;
  };
  // After v changed colour: what its waiting neighbours see.
  auto refresh = [&](size_t v) {
    for (int u : adj[v]) {
      if (!waiting[u]) continue;
      queue.erase(key(u));
      seen[u] = coloursAround(u);
      queue.insert(key(u));
    }
  };
  auto pick = [&](size_t v, uint32_t free) { return Pick(preferred, v, free); };
  int left = 0;
  while (!queue.empty()) {
    const size_t v = static_cast<size_t>(std::get<2>(*queue.begin()));
    queue.erase(queue.begin());
    waiting[v] = false;
    uint32_t free = ~coloursAround(v) & all;
    if (!free) {
      // A colour held by a single neighbour that can take another frees it.
      int count[32] = {}, holder[32] = {};
      for (int u : adj[v]) {
        if (colour[u] < 0) continue;
        ++count[colour[u]];
        holder[colour[u]] = u;
      }
      for (int c = 0; c < colours && !free; ++c) {
        if (count[c] != 1) continue;
        const size_t q = static_cast<size_t>(holder[c]);
        const uint32_t other = ~coloursAround(q) & all & ~(1u << c);
        if (!other) continue;
        colour[q] = pick(q, other);
        refresh(q);
        free = 1u << c;
      }
    }
    if (!free) {
      ++left;
      continue;
    }
    colour[v] = pick(v, free);
    for (int u : adj[v]) {
      if (!waiting[u] || (seen[u] >> colour[v] & 1u)) continue;
      queue.erase(key(static_cast<size_t>(u)));
      seen[u] |= 1u << colour[v];
      queue.insert(key(static_cast<size_t>(u)));
    }
  }
  *uncoloured = left;
  return colour;
}

}  // namespace

// Most neighbours first, ties by the lowest vertex: enough for most graphs of
// patches, and cheap.
std::vector<int> Greedy(const std::vector<std::vector<int>>& adj, int colours, int* uncoloured,
                        const std::vector<uint32_t>* preferred) {
  const uint32_t all = colours >= 32 ? 0xffffffffu : (1u << colours) - 1;
  int none = 0;
  int* left = uncoloured ? uncoloured : &none;
  const size_t n = adj.size();
  std::vector<size_t> order(n);
  for (size_t v = 0; v < n; ++v) order[v] = v;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return adj[a].size() > adj[b].size(); });
  std::vector<int> colour(n, -1);
  *left = 0;
  for (size_t v : order) {
    uint32_t used = 0;
    for (int u : adj[v])
      if (colour[u] >= 0) used |= 1u << colour[u];
    const uint32_t free = ~used & all;
    if (free)
      colour[v] = Pick(preferred, v, free);
    else
      ++*left;
  }
  return colour;
}

std::vector<int> Colour(const std::vector<std::vector<int>>& adj, int colours, int* uncoloured,
                        const std::vector<uint32_t>* preferred) {
  int left = 0;
  std::vector<int> colour = Greedy(adj, colours, &left, preferred);
  if (left) {
    int again = 0;
    std::vector<int> better = DSatur(adj, colours, &again, preferred);
    if (again < left) {
      colour = std::move(better);
      left = again;
    }
  }
  if (uncoloured) *uncoloured = left;
  return colour;
}

}  // namespace scene::colouring
