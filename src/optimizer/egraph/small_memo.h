// The hash-cons table for e-nodes of at most two children: an open-addressing
// table whose slots hold the whole key (symbol and child class indices) beside
// the e-node, so a lookup reads one slot and no e-node arrays. Linear probing
// puts an entry at or just after its home slot, so `prefetch` can load the
// very line a later lookup reads; deletion shifts later entries back instead
// of leaving tombstones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#include "base/hash_key.h"
#include "optimizer/egraph/big_alloc.h"

namespace velmora::egraph {

class SmallMemo {
 public:
  // A missing child is kMissing; `value` kMissing marks an empty slot, so no
  // stored value may be it.
  static constexpr uint32_t kMissing = std::numeric_limits<uint32_t>::max();
  struct Key {
    uint32_t op;
    uint32_t c0;
    uint32_t c1;
    friend bool operator==(const Key&, const Key&) = default;
  };

  [[nodiscard]] size_t size() const { return size_; }
  [[nodiscard]] size_t capacity() const { return slots_.size(); }

  // Room for `n` entries without growing.
  void reserve(size_t n) {
    if (n <= limit()) return;
    size_t cap = slots_.empty() ? 16 : slots_.size();
    while (n > cap - cap / 4) cap *= 2;
    rehash(cap);
  }

  // The value stored for `k`, or kMissing.
  [[nodiscard]] uint32_t find(const Key& k) const {
    if (slots_.empty()) return kMissing;
    for (size_t i = home(k);; i = (i + 1) & mask()) {
      const Slot& s = slots_[i];
      if (s.value == kMissing) return kMissing;
      if (s.key == k) return s.value;
    }
  }

  // Stores `value` for `k` unless `k` has a value; returns the value `k` has
  // afterwards, so it equals `value` exactly when it was stored.
  uint32_t insert(const Key& k, uint32_t value) {
    if (size_ + 1 > limit()) reserve(size_ + 1);
    for (size_t i = home(k);; i = (i + 1) & mask()) {
      Slot& s = slots_[i];
      if (s.value == kMissing) {
        s = Slot{k, value};
        ++size_;
        return value;
      }
      if (s.key == k) return s.value;
    }
  }

  // Removes `k` when its value is `value`.
  void erase(const Key& k, uint32_t value) {
    if (slots_.empty()) return;
    size_t i = home(k);
    for (;; i = (i + 1) & mask()) {
      const Slot& s = slots_[i];
      if (s.value == kMissing) return;
      if (s.key == k) break;
    }
    if (slots_[i].value != value) return;
    // Move back every later entry of the run that may sit at i: one whose
    // home is not cyclically within (i, j].
    for (size_t j = (i + 1) & mask();; j = (j + 1) & mask()) {
      const Slot& s = slots_[j];
      if (s.value == kMissing) break;
      const size_t h = home(s.key);
      const bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
      if (stays) continue;
      slots_[i] = s;
      i = j;
    }
    slots_[i].value = kMissing;
    --size_;
  }

  // Keyed, for the symbols and class ids follow from the caller's graph.
  [[nodiscard]] static uint64_t hash(const Key& k) {
    const HashKey& key = HashKey::get();
    return fold((uint64_t{k.op} << 32 | k.c0) ^ key.word[0], k.c1 ^ key.word[2]);
  }

  // Starts loading the slot a lookup of `k` reads first.
  void prefetch(const Key& k) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[home(k)]);
  }

 private:
  struct Slot {
    Key key;
    uint32_t value = kMissing;
  };

  [[nodiscard]] size_t mask() const { return slots_.size() - 1; }
  [[nodiscard]] size_t home(const Key& k) const { return static_cast<size_t>(hash(k)) & mask(); }
  // Linear probing needs room: past three quarters full, runs grow long.
  [[nodiscard]] size_t limit() const { return slots_.size() - slots_.size() / 4; }

  void rehash(size_t cap) {
    BigVector<Slot> old(cap);
    std::swap(old, slots_);
    for (const Slot& s : old) {
      if (s.value == kMissing) continue;
      size_t i = home(s.key);
      while (slots_[i].value != kMissing) i = (i + 1) & mask();
      slots_[i] = s;
    }
  }

  BigVector<Slot> slots_;
  size_t size_ = 0;
};

}  // namespace velmora::egraph
