// IdIndex: an open-addressing hash index of 32-bit positions into some table,
// each slot holding the position and its entry's 32-bit hash. The caller owns
// the entries and says, through a predicate, whether a position holds the
// key sought. Entries are never removed.
//
// A hash's first slot comes from the top bits of its product with a large
// odd constant, so doubling the table sends the entries of one slot to two
// neighbouring ones: growth walks the old slots in order and writes the new
// ones nearly in order too, instead of all over a table that may not fit in
// any cache. An empty slot is all zero bits (positions are kept plus one),
// so a fresh table is emptied by the cheapest fill there is.
//
// Growth builds the larger slot array first and switches to it only once it
// holds every entry, so a failed allocation leaves the index as it was.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "base/big_blocks.h"

namespace velmora {

class IdIndex {
 public:
  // What `find` gives for a key it does not hold.
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
  // Whether `find` found the position it gave.
  [[nodiscard]] static constexpr bool found(uint32_t position) { return position != kEmpty; }

  [[nodiscard]] std::size_t size() const { return size_; }

  // The position whose entry has `hash` and satisfies `same(position)`, or
  // kEmpty.
  template <typename Same>
  [[nodiscard]] uint32_t find(uint32_t hash, Same&& same) const {
    if (size_ == 0) return kEmpty;
    for (std::size_t i = start(hash);; i = (i + 1) & mask_) {
      const Slot s = slots_[i];
      if (s.id_plus_one == 0) return kEmpty;
      if (s.hash == hash && same(s.id_plus_one - 1)) return s.id_plus_one - 1;
    }
  }

  // Starts loading the slot a later find(hash) probes first. Safe without the
  // owner's lock: it reads only a relaxed copy of the table's place, and a
  // stale one just prefetches a line in vain.
  void prefetch(uint32_t hash) const {
    const Slot* slots = hint_slots_.load(std::memory_order_relaxed);
    if (slots == nullptr) return;
    const int shift = hint_shift_.load(std::memory_order_relaxed);
    if (shift >= 64) return;
    __builtin_prefetch(slots + start_in(hash, shift));
  }

  // Room for `n` more inserts; afterwards inserting them allocates nothing.
  // Inline up to the check, which is all that most calls do.
  void reserve_more(std::size_t n) {
    if (size_ + n > limit_) grow(size_ + n);
  }

  // As find, and when it gives kEmpty, `empty` is the slot that ended the
  // probe: the one an insert of `hash` would take, for `insert_at` while the
  // index is unchanged. Needs room for one more (reserve_more).
  template <typename Same>
  [[nodiscard]] uint32_t find_or_slot(uint32_t hash, Same&& same, std::size_t& empty) const {
    for (std::size_t i = start(hash);; i = (i + 1) & mask_) {
      const Slot s = slots_[i];
      if (s.id_plus_one == 0) {
        empty = i;
        return kEmpty;
      }
      if (s.hash == hash && same(s.id_plus_one - 1)) return s.id_plus_one - 1;
    }
  }
  // Inserts a position where find_or_slot said, with nothing added since:
  // one probe serves the lookup and the insert.
  void insert_at(std::size_t slot, uint32_t hash, uint32_t id) {
    slots_[slot] = Slot{hash, id + 1};
    ++size_;
  }

  // Adds a position unless an equal one (same hash, `same(position)`) is
  // indexed already; false then. One probe serves both. Needs room
  // (reserve_more).
  template <typename Same>
  bool insert_unique(uint32_t hash, uint32_t id, Same&& same) {
    std::size_t i = start(hash);
    for (;; i = (i + 1) & mask_) {
      const Slot s = slots_[i];
      if (s.id_plus_one == 0) break;
      if (s.hash == hash && same(s.id_plus_one - 1)) return false;
    }
    slots_[i] = Slot{hash, id + 1};
    ++size_;
    return true;
  }

  // Adds a position that is not yet indexed; needs room (reserve_more).
  void insert(uint32_t hash, uint32_t id) {
    reserve_more(1);
    place(Slot{hash, id + 1});
    ++size_;
  }

 private:
  struct Slot {
    uint32_t hash;
    uint32_t id_plus_one;  // 0: empty
  };

  // Room for `want` entries in all.
  [[gnu::noinline]] void grow(std::size_t want) {
    std::size_t cap = slots_ ? 2 * (mask_ + 1) : 16;
    int shift = slots_ ? shift_ - 1 : 60;
    while (want > cap - cap / 4) {
      cap *= 2;
      --shift;
    }
    BigArray<Slot> fresh(cap);
    // Written whole now, so that every page is faulted in for writing (a huge
    // one where advised); pages first read while untouched would map the
    // shared zero page, and the later write would then split a huge one.
    std::memset(static_cast<void*>(fresh.get()), 0, cap * sizeof(Slot));
    const std::size_t old_cap = slots_.size();
    std::swap(slots_, fresh);
    mask_ = cap - 1;
    limit_ = cap - cap / 4;
    shift_ = shift;
    hint_slots_.store(slots_.get(), std::memory_order_relaxed);
    hint_shift_.store(shift_, std::memory_order_relaxed);
    // A run that wraps past the old table's end is moved last, so every run
    // lands after the ones before it.
    std::size_t first = 0;
    while (first < old_cap && fresh[first].id_plus_one != 0) ++first;
    for (std::size_t i = first; i < old_cap; ++i) {
      if (fresh[i].id_plus_one != 0) place(fresh[i]);
    }
    for (std::size_t i = 0; i < first; ++i) place(fresh[i]);
    fresh.give_back();  // outgrown
  }

  static std::size_t start_in(uint32_t hash, int shift) {
    return static_cast<std::size_t>((uint64_t{hash} * 0x9E3779B97F4A7C15ULL) >> shift);
  }
  [[nodiscard]] std::size_t start(uint32_t hash) const { return start_in(hash, shift_); }
  void place(Slot s) {
    std::size_t i = start(s.hash);
    while (slots_[i].id_plus_one != 0) i = (i + 1) & mask_;
    slots_[i] = s;
  }

  BigArray<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t limit_ = 0;  // entries the slots take before growing: three quarters of them
  int shift_ = 64;  // 64 - log2(capacity)
  std::size_t size_ = 0;
  std::atomic<const Slot*> hint_slots_{nullptr};
  std::atomic<int> hint_shift_{64};
};

}  // namespace velmora
