// An allocator for the e-graph's large flat arrays and tables. Blocks of
// several megabytes are aligned to 2 MiB and, on Linux, marked for
// transparent huge pages: a large e-graph touches its tables at random, and
// with 4 KiB pages the page faults and TLB misses cost more than the work.
// Smaller blocks come from the ordinary heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "base/huge_pages.h"

namespace velmora::egraph {

// Large blocks come straight from the system and go straight back, aligned by
// mapping 2 MiB more and unmapping the ends: through malloc, freeing one
// would raise malloc's threshold for mapping, so later large buffers of
// other steps would stay in its heap after they are freed.
void* map(size_t bytes);
void unmap(void* p, size_t bytes);

template <typename T>
struct BigAlloc {
  using value_type = T;
  static constexpr size_t kHuge = size_t{2} << 20;

  BigAlloc() = default;
  template <typename U>
  BigAlloc(const BigAlloc<U>&) {}  // NOLINT: rebinding is implicit

  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "plain operator new must align T");
  static size_t rounded(size_t bytes) { return (bytes + kHuge - 1) / kHuge * kHuge; }

  T* allocate(size_t n) {
    if (n > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = n * sizeof(T);
    if (bytes < 2 * kHuge) return static_cast<T*>(::operator new(bytes));
    return static_cast<T*>(map(rounded(bytes)));
  }
  void deallocate(T* p, size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes < 2 * kHuge) {
      ::operator delete(p);
    } else {
      unmap(p, rounded(bytes));
    }
  }
  template <typename U>
  friend bool operator==(const BigAlloc&, const BigAlloc<U>&) {
    return true;
  }
};

template <typename T>
using BigVector = std::vector<T, BigAlloc<T>>;

}  // namespace velmora::egraph
