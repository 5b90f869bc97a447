#include "base/big_blocks.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>

#include "base/huge_pages.h"

#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_ASAN 1
#endif
#endif
#if defined(VELMORA_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace velmora {

namespace {

constexpr std::size_t kHuge = BigBlocks::kHuge;

std::size_t rounded(std::size_t bytes) { return (bytes + kHuge - 1) / kHuge * kHuge; }

uint64_t steady_ns() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// A cached block is poisoned, so that a use after its give still reports.
void poison(void* p, std::size_t bytes) {
#if defined(VELMORA_ASAN)
  ASAN_POISON_MEMORY_REGION(p, bytes);
#else
  (void)p;
  (void)bytes;
#endif
}
void unpoison(void* p, std::size_t bytes) {
#if defined(VELMORA_ASAN)
  ASAN_UNPOISON_MEMORY_REGION(p, bytes);
#else
  (void)p;
  (void)bytes;
#endif
}

// `bytes` (a multiple of kHuge) at a kHuge boundary: map kHuge more and
// unmap the ends, whole pages on both sides. Null when the system has none.
void* map(std::size_t bytes) {
  void* raw = mmap(nullptr, bytes + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHuge - 1) / kHuge * kHuge;
  if (aligned > start) munmap(raw, aligned - start);
  if (const uintptr_t tail = start + bytes + kHuge - (aligned + bytes); tail > 0) {
    munmap(reinterpret_cast<void*>(aligned + bytes), tail);
  }
  void* p = reinterpret_cast<void*>(aligned);
  advise_huge_pages(p, bytes);
  return p;
}

// glibc maps every heap block past its mapping threshold on its own and gives
// it back on free, and it raises that threshold (and how much free heap it
// keeps) only when it frees such a block. The big containers used to do that
// as they grew; now that they never free a heap block that large, one is
// freed here, once, so that the plain vectors of a few megabytes that a
// reduction makes stay in the heap and are reused.
constexpr std::size_t kHeapThreshold = std::size_t{16} << 20;
static_assert(kHeapThreshold <= std::size_t{32} << 20, "glibc raises its threshold up to 32 MiB");
void raise_heap_threshold() {
  static const bool raised = [] {
    void* volatile p = std::malloc(kHeapThreshold);
    std::free(p);
    return true;
  }();
  (void)raised;
}

// One thread's cached blocks, oldest first. Plain data, valid for the whole
// thread: `closed` is set when the thread's exit has emptied it, and blocks
// given after that (by later thread-exit destructors) go straight back.
struct Cache {
  struct Block {
    char* data;
    std::size_t bytes;
    uint64_t given_ns;
  };
  std::array<Block, BigBlocks::kCacheBlocks> blocks;
  std::size_t count;
  std::size_t bytes;
  bool closed;
  uint64_t (*now_ns)();
  std::size_t maps;
  int failing_maps;  // tests: how many maps from now fail

  uint64_t now() const { return now_ns != nullptr ? now_ns() : steady_ns(); }

  void drop_front(std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      unpoison(blocks[i].data, blocks[i].bytes);
      munmap(blocks[i].data, blocks[i].bytes);
      bytes -= blocks[i].bytes;
    }
    std::copy(blocks.begin() + n, blocks.begin() + count, blocks.begin());
    count -= n;
  }
  // Unmaps the blocks given more than kCacheAgeNs before `t`.
  void expire(uint64_t t) {
    std::size_t n = 0;
    while (n < count && t - blocks[n].given_ns > BigBlocks::kCacheAgeNs) ++n;
    drop_front(n);
  }
  void* map_or_null(std::size_t bytes) {
    if (failing_maps > 0) {
      --failing_maps;
      return nullptr;
    }
    ++maps;
    return map(bytes);
  }
};
constinit thread_local Cache cache{};

// Empties the thread's cache when it ends.
struct CacheCloser {
  ~CacheCloser() {
    cache.drop_front(cache.count);
    cache.closed = true;
  }
};
thread_local CacheCloser closer;

}  // namespace

void* BigBlocks::take(std::size_t bytes) {
  if (bytes < kMapFrom) return ::operator new(bytes);
  if (bytes > std::numeric_limits<std::size_t>::max() - kHuge) throw std::bad_alloc();
  const std::size_t need = rounded(bytes);
  raise_heap_threshold();
  Cache& c = cache;
  if (!c.closed) {
    c.expire(c.now());
    std::size_t best = c.count;
    for (std::size_t i = 0; i < c.count; ++i) {
      const std::size_t have = c.blocks[i].bytes;
      if (have >= need && have / 2 <= need && (best == c.count || have < c.blocks[best].bytes)) best = i;
    }
    if (best < c.count) {
      Cache::Block& b = c.blocks[best];
      char* p = b.data;
      if (b.bytes > need) {
        b.data += need;  // the rest stays cached, as old as it was
        b.bytes -= need;
      } else {
        std::copy(c.blocks.begin() + best + 1, c.blocks.begin() + c.count, c.blocks.begin() + best);
        --c.count;
      }
      c.bytes -= need;
      unpoison(p, need);
      return p;
    }
  }
  void* p = c.map_or_null(need);
  if (p == nullptr) {
    c.drop_front(c.count);
    p = c.map_or_null(need);
  }
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void BigBlocks::give(void* p, std::size_t bytes) noexcept {
  const std::size_t size = rounded(bytes);
  Cache& c = cache;
  if (bytes < kMapFrom || c.closed || size > kCacheBytes) {
    give_back(p, bytes);
    return;
  }
  (void)&closer;  // registers the thread's exit
  const uint64_t t = c.now();
  c.expire(t);
  std::size_t n = 0;
  std::size_t held = c.bytes;
  while (c.count - n == kCacheBlocks || held + size > kCacheBytes) held -= c.blocks[n++].bytes;
  c.drop_front(n);
  // Marked free: the kernel may take the pages under pressure; otherwise a
  // later write finds them in place, with no fault.
  (void)madvise(p, size, MADV_FREE);
  poison(p, size);
  c.blocks[c.count++] = Cache::Block{static_cast<char*>(p), size, t};
  c.bytes += size;
}

void BigBlocks::give_back(void* p, std::size_t bytes) noexcept {
  if (bytes < kMapFrom) {
    ::operator delete(p);
  } else {
    munmap(p, rounded(bytes));
  }
}

BigBlocks::Cached BigBlocks::cached() { return Cached{cache.count, cache.bytes, cache.maps}; }
void BigBlocks::set_clock(uint64_t (*now_ns)()) { cache.now_ns = now_ns; }
void BigBlocks::fail_maps(int n) { cache.failing_maps = n; }

}  // namespace velmora
