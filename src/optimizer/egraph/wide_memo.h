// The e-graph's hash-cons table: open addressing over (hash, e-node) slots of
// eight bytes, with the e-nodes themselves in the e-graph, which says through
// a predicate whether one is the e-node sought. A probe compares stored
// hashes and reads an e-node only when its hash is the one sought, so a miss
// touches nothing but slots. Linear probing puts an entry at or just after
// its home slot, so `prefetch` loads the very line a later probe reads;
// deletion shifts later entries back instead of leaving tombstones. Hashes
// are stored, so growing never reads an e-node; and growth fills the larger
// table before switching to it, so a failed allocation leaves the table as
// it was.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#include "optimizer/egraph/big_alloc.h"

namespace velmora::egraph {

class WideMemo {
 public:
  // `value` kMissing marks an empty slot, so no stored value may be it.
  static constexpr uint32_t kMissing = std::numeric_limits<uint32_t>::max();

  [[nodiscard]] size_t size() const { return size_; }
  [[nodiscard]] size_t capacity() const { return slots_.size(); }

  // Room for `n` entries without growing.
  void reserve(size_t n) {
    if (n <= limit()) return;
    size_t cap = slots_.empty() ? 16 : slots_.size();
    while (n > cap - cap / 4) cap *= 2;
    rehash(cap);
  }

  // Starts loading the slot a probe for `hash` reads first.
  void prefetch(uint32_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[home(hash)]);
  }

  // The value stored under `hash` for which `same(value)`, or kMissing.
  template <typename Same>
  [[nodiscard]] uint32_t find(uint32_t hash, Same&& same) const {
    if (slots_.empty()) return kMissing;
    for (size_t i = home(hash);; i = (i + 1) & mask()) {
      const Slot& s = slots_[i];
      if (s.value == kMissing) return kMissing;
      if (s.hash == hash && same(s.value)) return s.value;
    }
  }

  // Stores `value` unless an equal one (same hash, `same(stored)`) is there;
  // returns the value stored afterwards, so it equals `value` exactly when
  // it was stored.
  template <typename Same>
  uint32_t insert(uint32_t hash, uint32_t value, Same&& same) {
    if (size_ + 1 > limit()) reserve(size_ + 1);
    for (size_t i = home(hash);; i = (i + 1) & mask()) {
      Slot& s = slots_[i];
      if (s.value == kMissing) {
        s = Slot{hash, value};
        ++size_;
        return value;
      }
      if (s.hash == hash && same(s.value)) return s.value;
    }
  }

  // Removes `value`, stored under `hash`, if it is there.
  void erase(uint32_t hash, uint32_t value) {
    if (slots_.empty()) return;
    size_t i = home(hash);
    for (;; i = (i + 1) & mask()) {
      const Slot& s = slots_[i];
      if (s.value == kMissing) return;
      if (s.value == value) break;
    }
    for (size_t j = (i + 1) & mask();; j = (j + 1) & mask()) {
      const Slot& s = slots_[j];
      if (s.value == kMissing) break;
      const size_t h = home(s.hash);
      const bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
      if (stays) continue;
      slots_[i] = s;
      i = j;
    }
    slots_[i].value = kMissing;
    --size_;
  }

 private:
  struct Slot {
    uint32_t hash = 0;
    uint32_t value = kMissing;
  };

  // The top bits of the hash times a large odd constant: every hash bit
  // counts, whatever the table's size.
  [[nodiscard]] size_t home(uint32_t hash) const {
    return static_cast<size_t>((uint64_t{hash} * 0x9E3779B97F4A7C15ULL) >> shift_);
  }
  [[nodiscard]] size_t mask() const { return slots_.size() - 1; }
  [[nodiscard]] size_t limit() const { return slots_.size() - slots_.size() / 4; }

  void rehash(size_t cap) {
    BigVector<Slot> fresh(cap);
    std::swap(fresh, slots_);
    shift_ = 64 - std::countr_zero(cap);
    for (const Slot& s : fresh) {
      if (s.value == kMissing) continue;
      size_t i = home(s.hash);
      while (slots_[i].value != kMissing) i = (i + 1) & mask();
      slots_[i] = s;
    }
  }

  BigVector<Slot> slots_;
  int shift_ = 64;
  size_t size_ = 0;
};

}  // namespace velmora::egraph
