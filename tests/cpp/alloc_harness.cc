#include "alloc_harness.h"

#include <malloc.h>

#include <cstdlib>
#include <new>

namespace velmora::harness {
constinit thread_local long fail_after = 0;
constinit thread_local AllocStats alloc_stats;
void reset_alloc_stats() { alloc_stats.reset(); }
AllocStats alloc_stats_now() { return alloc_stats; }
}  // namespace velmora::harness

namespace {

using velmora::harness::alloc_stats;
using velmora::harness::fail_after;

void* allocate(std::size_t n) noexcept {
  if (fail_after > 0 && --fail_after == 0) return nullptr;
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p != nullptr) {
    ++alloc_stats.count;
    alloc_stats.bytes += n;
    alloc_stats.live += malloc_usable_size(p);
    if (alloc_stats.live > alloc_stats.peak) alloc_stats.peak = alloc_stats.live;
  }
  return p;
}

void release(void* p) noexcept {
  if (p == nullptr) return;
  const std::size_t n = malloc_usable_size(p);
  alloc_stats.live = alloc_stats.live > n ? alloc_stats.live - n : 0;
  std::free(p);
}

}  // namespace

// Both operator news and their deletes are replaced, so one allocator frees
// what it made.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  if (void* p = allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  if (void* p = allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
#pragma GCC diagnostic pop
