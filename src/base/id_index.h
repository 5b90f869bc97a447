// IdIndex: an open-addressing hash index of 32-bit positions into some table,
// each slot holding the position and its entry's 32-bit hash. The caller owns
// the entries and says, through a predicate, whether a position holds the
// key sought. Entries are never removed.
//
// Growth builds the larger slot array first and switches to it only once it
// holds every entry, so a failed allocation leaves the index as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>

namespace velmora {

class IdIndex {
 public:
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;

  [[nodiscard]] std::size_t size() const { return size_; }

  // The position whose entry has `hash` and satisfies `same(position)`.
  template <typename Same>
  [[nodiscard]] std::optional<uint32_t> find(uint32_t hash, Same&& same) const {
    if (size_ == 0) return std::nullopt;
    for (std::size_t i = start(hash);; i = (i + 1) & mask_) {
      const Slot s = slots_[i];
      if (s.id == kEmpty) return std::nullopt;
      if (s.hash == hash && same(s.id)) return s.id;
    }
  }

  // Room for `n` more inserts; afterwards inserting them allocates nothing.
  void reserve_more(std::size_t n) {
    const std::size_t want = size_ + n;
    if (want <= limit()) return;
    std::size_t cap = slots_ ? 2 * (mask_ + 1) : 16;
    while (want > cap - cap / 4) cap *= 2;
    std::unique_ptr<Slot[]> fresh(new Slot[cap]);
    for (std::size_t i = 0; i < cap; ++i) fresh[i] = Slot{0, kEmpty};
    const std::size_t old_cap = slots_ ? mask_ + 1 : 0;
    std::swap(slots_, fresh);
    mask_ = cap - 1;
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
  [[nodiscard]] std::size_t start(uint32_t hash) const {
    return static_cast<std::size_t>((uint64_t{hash} * 0x9E3779B97F4A7C15ULL) >> 32) & mask_;
  }
  void place(Slot s) {
    std::size_t i = start(s.hash);
    while (slots_[i].id != kEmpty) i = (i + 1) & mask_;
    slots_[i] = s;
  }

  std::unique_ptr<Slot[]> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace velmora
