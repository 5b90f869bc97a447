// IdIndex: an open-addressing hash index of 32-bit positions into some table,
// each slot holding the position and its entry's 32-bit hash. The caller owns
// the entries and says, through a predicate, whether a position holds the
// key sought. Entries are never removed.
//
// Growth builds the larger slot array first and switches to it only once it
// holds every entry, so a failed allocation leaves the index as it was.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "base/huge_pages.h"

namespace velmora {

class IdIndex {
 public:
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;

  [[nodiscard]] std::size_t size() const { return size_; }

  // The position whose entry has `hash` and satisfies `same(position)`, or
  // kEmpty.
  template <typename Same>
  [[nodiscard]] uint32_t find(uint32_t hash, Same&& same) const {
    if (size_ == 0) return kEmpty;
    for (std::size_t i = start(hash);; i = (i + 1) & mask_) {
      const Slot s = slots_[i];
      if (s.id == kEmpty) return kEmpty;
      if (s.hash == hash && same(s.id)) return s.id;
    }
  }

  // Starts loading the slot a later find(hash) probes first. Safe without the
  // owner's lock: it reads only a relaxed copy of the table's place, and a
  // stale one just prefetches a line in vain.
  void prefetch(uint32_t hash) const {
    const Slot* slots = hint_slots_.load(std::memory_order_relaxed);
    if (slots == nullptr) return;
    const std::size_t mask = hint_mask_.load(std::memory_order_relaxed);
    __builtin_prefetch(slots + (start_in(hash, mask)));
  }

  // Room for `n` more inserts; afterwards inserting them allocates nothing.
  void reserve_more(std::size_t n) {
    const std::size_t want = size_ + n;
    if (want <= limit()) return;
    std::size_t cap = slots_ ? 2 * (mask_ + 1) : 16;
    while (want > cap - cap / 4) cap *= 2;
    std::unique_ptr<Slot[]> fresh(new Slot[cap]);
    advise_huge_pages(fresh.get(), cap * sizeof(Slot));  // lookups land anywhere in it
    for (std::size_t i = 0; i < cap; ++i) fresh[i] = Slot{0, kEmpty};
    const std::size_t old_cap = slots_ ? mask_ + 1 : 0;
    std::swap(slots_, fresh);
    mask_ = cap - 1;
    hint_slots_.store(slots_.get(), std::memory_order_relaxed);
    hint_mask_.store(mask_, std::memory_order_relaxed);
    for (std::size_t i = 0; i < old_cap; ++i) {
      if (fresh[i].id != kEmpty) place(fresh[i]);
    }
  }

  // Adds a position that is not yet indexed; needs room (reserve_more).
  void insert(uint32_t hash, uint32_t id) {
    if (size_ + 1 > limit()) reserve_more(1);
    place(Slot{hash, id});
    ++size_;
  }

 private:
  struct Slot {
    uint32_t hash;
    uint32_t id;
  };
  [[nodiscard]] std::size_t limit() const {
    const std::size_t cap = slots_ ? mask_ + 1 : 0;
    return cap - cap / 4;
  }
  static std::size_t start_in(uint32_t hash, std::size_t mask) {
    return static_cast<std::size_t>((uint64_t{hash} * 0x9E3779B97F4A7C15ULL) >> 32) & mask;
  }
  [[nodiscard]] std::size_t start(uint32_t hash) const { return start_in(hash, mask_); }
  void place(Slot s) {
    std::size_t i = start(s.hash);
    while (slots_[i].id != kEmpty) i = (i + 1) & mask_;
    slots_[i] = s;
  }

  std::unique_ptr<Slot[]> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
  std::atomic<const Slot*> hint_slots_{nullptr};
  std::atomic<std::size_t> hint_mask_{0};
};

}  // namespace velmora
