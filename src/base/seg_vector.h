// SegVector: an append-only sequence in segments that never move, so an
// element keeps its address for the container's lifetime. Segment s holds
// kFirst << s elements. Appends need exclusive access; a reader that learned
// the size through a lock (or any other happens-before edge) may read every
// element below that size while appends go on, since appending never touches
// an existing element or segment pointer.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

#include "base/big_blocks.h"

namespace velmora {

template <typename T, std::size_t kFirst = 64>
class SegVector {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "segments hold plain records");
  static_assert(std::has_single_bit(kFirst));
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "blocks are aligned for plain types");
  static constexpr std::size_t kShift = std::countr_zero(kFirst);
  static constexpr std::size_t kSegments = 48;

 public:
  SegVector() = default;
  SegVector(const SegVector&) = delete;
  SegVector& operator=(const SegVector&) = delete;
  ~SegVector() {
    for (std::size_t s = 0; s < kSegments && segs_[s] != nullptr; ++s) {
      BigBlocks::give(segs_[s], (kFirst << s) * sizeof(T));
    }
  }

  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }

  const T& operator[](std::size_t i) const { return slot(i); }
  T& operator[](std::size_t i) { return slot(i); }

  // Makes room for `n` more elements; throws std::bad_alloc and changes
  // nothing when it cannot.
  void reserve_more(std::size_t n) {
    const std::size_t want = size_ + n;
    while (capacity_ < want) {
      const std::size_t s = std::countr_zero(capacity_ / kFirst + 1);  // next segment
      if (s >= kSegments) throw std::bad_alloc();
      segs_[s] = BigBlocks::take_array<T>(kFirst << s);
      capacity_ += kFirst << s;
    }
  }
  // Appends; needs room (reserve_more) when it must not throw.
  void push_back(const T& v) {
    if (size_ == capacity_) reserve_more(1);
    slot(size_) = v;
    ++size_;
  }
  // Forgets the last element (room stays).
  void pop_back() { --size_; }

 private:
  T& slot(std::size_t i) const {
    const std::size_t q = (i >> kShift) + 1;
    const std::size_t s = std::bit_width(q) - 1;
    return segs_[s][i - ((std::size_t{1} << s) - 1) * kFirst];
  }

  std::array<T*, kSegments> segs_{};  // from BigBlocks, written before they are read
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace velmora
