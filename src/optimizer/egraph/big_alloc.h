// An allocator for the e-graph's large flat arrays and tables, from
// BigBlocks: a large e-graph touches its tables at random, and with 4 KiB
// pages the page faults and TLB misses cost more than the work. Freed arrays
// go straight back to the system, uncached: the e-graph is freed in the
// middle of a reduction, and the steps after it ask for other sizes, so
// keeping its arrays would only raise the reduction's peak.
#pragma once

#include <cstddef>
#include <vector>

#include "base/big_blocks.h"

namespace velmora::egraph {

template <typename T>
struct BigAlloc {
  using value_type = T;

  BigAlloc() = default;
  template <typename U>
  BigAlloc(const BigAlloc<U>&) {}  // NOLINT: rebinding is implicit

  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "big blocks are aligned for plain types");

  T* allocate(size_t n) { return BigBlocks::take_array<T>(n); }
  void deallocate(T* p, size_t n) { BigBlocks::give_back(p, n * sizeof(T)); }
  template <typename U>
  friend bool operator==(const BigAlloc&, const BigAlloc<U>&) {
    return true;
  }
};

template <typename T>
using BigVector = std::vector<T, BigAlloc<T>>;

}  // namespace velmora::egraph
