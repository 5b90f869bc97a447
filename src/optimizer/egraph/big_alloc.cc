#include "optimizer/egraph/big_alloc.h"

#include <sys/mman.h>

#include <cstdint>

namespace velmora::egraph {

void* map(size_t bytes) {
  constexpr size_t kHuge = BigAlloc<char>::kHuge;
  void* raw = mmap(nullptr, bytes + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHuge - 1) / kHuge * kHuge;
  // Whole pages on both sides: the mapping and `bytes` are page multiples.
  if (aligned > start) munmap(raw, aligned - start);
  if (const uintptr_t tail = start + bytes + kHuge - (aligned + bytes); tail > 0) {
    munmap(reinterpret_cast<void*>(aligned + bytes), tail);
  }
  void* p = reinterpret_cast<void*>(aligned);
  advise_huge_pages(p, bytes);
  return p;
}

void unmap(void* p, size_t bytes) { munmap(p, bytes); }

}  // namespace velmora::egraph
