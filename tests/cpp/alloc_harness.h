// A harness over operator new for the tests: it fails the n-th allocation from
// now on the calling thread, and counts that thread's allocations and bytes.
// The replacements live in alloc_harness.cc, linked into the test program.
#pragma once

#include <cstddef>

namespace velmora::harness {

// The n-th allocation from now on this thread fails (0: none); it counts down
// with every allocation. Both are constinit: without it each use goes through
// a thread-local init wrapper, whose null check GCC 12's UBSan miscompiles
// (it tests stale flags and reports a null load).
extern constinit thread_local long fail_after;

// This thread's allocations since `reset`: how many, how many bytes they
// asked for, and the most bytes held at once (frees on other threads are not
// seen).
struct AllocStats {
  long count = 0;
  std::size_t bytes = 0;
  std::size_t live = 0;
  std::size_t peak = 0;
  void reset() { *this = AllocStats{}; }
};
extern constinit thread_local AllocStats alloc_stats;
// `alloc_stats.reset()` and a copy of `alloc_stats`, done in the file that
// defines it: inlined into a large test, a use of it from another file still
// meets that miscompiled null check under ASan and UBSan together.
void reset_alloc_stats();
AllocStats alloc_stats_now();

}  // namespace velmora::harness
