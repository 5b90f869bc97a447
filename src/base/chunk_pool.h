// ChunkPool: runs of T handed out from chunks that never move, each chunk about
// twice the size of the last, up to a cap. Only `reserve` allocates, so a
// caller that reserves everything first can then take its room without any
// step that might fail.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "base/big_blocks.h"

namespace velmora {

template <typename T, std::size_t kFirst, std::size_t kMax>
class ChunkPool {
 public:
  // Room for `n` more items in the current chunk.
  void reserve(std::size_t n) {
    if (left_ >= n) return;
    const std::size_t last = chunks_.empty() ? kFirst : chunks_.back().size();
    const std::size_t size = std::max(n, std::min(kMax, 2 * last));
    chunks_.reserve(chunks_.size() + 1);
    chunks_.emplace_back(size);
    next_ = chunks_.back().get();
    left_ = size;
  }

  // The reserved room, to write before taking it.
  [[nodiscard]] T* room() const { return next_; }

  // `n` items of the reserved room.
  T* take(std::size_t n) {
    T* p = next_;
    next_ += n;
    left_ -= n;
    taken_ += n;
    return p;
  }

  // The items taken in all.
  [[nodiscard]] std::size_t taken() const { return taken_; }

 private:
  std::vector<BigArray<T>> chunks_;
  T* next_ = nullptr;
  std::size_t left_ = 0;
  std::size_t taken_ = 0;
};

}  // namespace velmora
