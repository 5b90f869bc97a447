// Big blocks: the memory of the large tables and segments (stores, indexes,
// the e-graph's arrays). A fresh page costs microseconds to fault in, and
// these blocks come and go in bursts (a store dropped and the next one built,
// one reduction step after another), so a freed big block is kept for the
// next request on the same thread instead of going back to the system.
//
// Blocks under kMapFrom come from the ordinary heap. Bigger ones are mapped,
// rounded up to and aligned at 2 MiB, and from 4 MiB advised for huge pages
// (advise_huge_pages). A freed one goes into its thread's cache:
//   - at most kCacheBlocks blocks and kCacheBytes in all, the oldest going
//     first when a new one does not fit;
//   - a block not taken again within kCacheAgeNs is unmapped at the thread's
//     next take or give, and all are unmapped when the thread ends;
//   - cached pages stay resident (and counted) but are marked free, so the
//     kernel may reclaim them under memory pressure.
// A take is served by the smallest cached block of at least its rounded size
// and at most twice it; the part past the request stays cached. When mapping
// fails the cache is emptied and the map tried once more, then std::bad_alloc.
//
// Nothing is shared between threads: a block may be given on any thread, and
// it then serves that thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace velmora {

class BigBlocks {
 public:
  static constexpr std::size_t kHuge = std::size_t{2} << 20;
  // Smaller blocks would each hold a 2 MiB share of the cache (and, taken
  // from a cached block, up to that much resident memory).
  static constexpr std::size_t kMapFrom = std::size_t{1} << 20;
  // Enough to rebuild a store of a few hundred thousand nodes without a
  // fault in its big blocks; more kept nothing more for a reduction.
  static constexpr std::size_t kCacheBlocks = 8;
  static constexpr std::size_t kCacheBytes = std::size_t{32} << 20;
  static constexpr uint64_t kCacheAgeNs = 1'000'000'000;
  static_assert(kMapFrom <= kHuge, "a mapped block wastes at most half its huge page");
  static_assert(kCacheBytes % kHuge == 0 && kCacheBytes / kHuge >= kCacheBlocks,
                "the byte bound leaves room for every slot's smallest block");

  // `bytes` of memory aligned for any plain type; std::bad_alloc when there
  // is none. The contents are whatever was there.
  [[nodiscard]] static void* take(std::size_t bytes);
  // Gives back a block from take(bytes), with the same `bytes`.
  static void give(void* p, std::size_t bytes) noexcept;
  // The same, straight back to the system: for a table its owner outgrew,
  // which a growing structure never asks for again, so that a store that
  // keeps growing does not hold its outgrown tables resident as well.
  static void give_back(void* p, std::size_t bytes) noexcept;
  // Room for `n` T, as take(n * sizeof(T)); std::bad_alloc when the bytes
  // would not fit in a size_t.
  template <typename T>
  [[nodiscard]] static T* take_array(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(take(n * sizeof(T)));
  }

 private:
  friend class BigBlocksPeer;  // tests: the cache's size, its clock, failing maps
  struct Cached {
    std::size_t blocks;
    std::size_t bytes;
    std::size_t maps;  // made by this thread in all
  };
  static Cached cached();
  static void set_clock(uint64_t (*now_ns)());
  static void fail_maps(int n);
};

// n default-initialised T in a big block, like `new T[n]` (so plain records
// hold old bytes until written), given back when dropped.
template <typename T>
class BigArray {
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "blocks are aligned for plain types");
  static_assert(std::is_trivially_destructible_v<T>, "elements are never destroyed");

 public:
  BigArray() = default;
  explicit BigArray(std::size_t n) : data_(BigBlocks::take_array<T>(n)), size_(n) {
    std::uninitialized_default_construct_n(data_, n);
  }
  BigArray(BigArray&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  BigArray& operator=(BigArray&& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    return *this;
  }
  ~BigArray() {
    if (data_ != nullptr) BigBlocks::give(data_, size_ * sizeof(T));
  }
  // Frees the block now, uncached (BigBlocks::give_back).
  void give_back() {
    if (data_ != nullptr) BigBlocks::give_back(data_, size_ * sizeof(T));
    data_ = nullptr;
    size_ = 0;
  }

  [[nodiscard]] T* get() const { return data_; }
  [[nodiscard]] std::size_t size() const { return size_; }
  T& operator[](std::size_t i) const { return data_[i]; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace velmora
