// Advice for large buffers that are touched at random or written once in
// full: with transparent huge pages a 2 MiB page replaces 512 small ones, so
// filling the buffer faults far less and random lookups miss the TLB less.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmora {

// Marks the whole 2 MiB pages inside [data, data + bytes) for huge pages,
// best before they are first touched. Only advice: failure is harmless, and
// blocks under 4 MiB are left alone.
inline void advise_huge_pages(const void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  if (bytes < 2 * kHuge) return;
  const auto begin = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) / kHuge * kHuge;
  const auto end = (reinterpret_cast<uintptr_t>(data) + bytes) / kHuge * kHuge;
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace velmora
