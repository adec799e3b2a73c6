// A set of element ids by key, in open addressing: a slot is the id of the
// element it names (keys are read from the elements), -1 for an empty slot.
// For the importer's welds, where a hash map of strings would cost a heap
// block per element.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace scene {

class IdIndex {
 public:
  explicit IdIndex(size_t expected) {
    size_t cap = 16;
    while (cap < expected * 2) cap *= 2;
    slots_.assign(cap, -1);
  }

  // The id whose key equals (eq(id)), or -1.
  template <class Eq>
  int Find(uint64_t hash, Eq eq) const {
    for (size_t i = hash & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
      const int id = slots_[i];
      if (id < 0) return -1;
      if (eq(id)) return id;
    }
  }

  // The id whose key equals (eq(id)), or -1 after inserting `fresh` for it.
  template <class Eq, class HashOf>
  int FindOrInsert(uint64_t hash, Eq eq, int fresh, HashOf hashOf) {
    if ((count_ + 1) * 2 > slots_.size()) Grow(hashOf);
    for (size_t i = hash & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
      const int id = slots_[i];
      if (id < 0) {
        slots_[i] = fresh;
        ++count_;
        return -1;
      }
      if (eq(id)) return id;
    }
  }

 private:
  template <class HashOf>
  void Grow(HashOf hashOf) {
    std::vector<int> old(slots_.size() * 2, -1);
    old.swap(slots_);
    for (int id : old) {
      if (id < 0) continue;
      size_t i = hashOf(id) & (slots_.size() - 1);
      while (slots_[i] >= 0) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = id;
    }
  }
  std::vector<int> slots_;
  size_t count_ = 0;
};

// A 64-bit hash of bytes, four at a time.
inline uint64_t HashBytes(const void* data, size_t n) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ n;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    uint32_t w;
    std::memcpy(&w, p + i, 4);
    h = (h ^ w) * 0xff51afd7ed558ccdULL;
    h ^= h >> 32;
  }
  for (; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  return h ^ (h >> 33);
}

}  // namespace scene
