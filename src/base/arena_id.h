// 32-bit ids of an arena's entries. A record keeps them as bare words
// (node/record.h); past the record they are typed, so that one kind of id
// cannot stand for another, and "none" has one name. Text ids live here
// because parameters, below the node format, carry them; the node's own ids
// are in node/ids.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/panic.h"

namespace velmora {

template <typename Tag>
class ArenaId {
 public:
  static constexpr uint32_t kNoneWord = 0xFFFFFFFFu;

  constexpr ArenaId() = default;  // none
  // The id a record word holds.
  constexpr explicit ArenaId(uint32_t word) : word_(word) {}
  [[nodiscard]] static constexpr ArenaId none() { return ArenaId(); }
  // The id of entry `index` of its table: the one place a position narrows
  // to 32 bits. Tables refuse to grow past the last id before they change, so
  // a position that does not fit is a broken invariant.
  [[nodiscard]] static ArenaId of_index(std::size_t index) {
    if (index >= kNoneWord) [[unlikely]] panic("arena id " + std::to_string(index) + " past 32 bits");
    return ArenaId(static_cast<uint32_t>(index));
  }

  [[nodiscard]] constexpr bool is_none() const { return word_ == kNoneWord; }
  [[nodiscard]] constexpr uint32_t word() const { return word_; }
  friend constexpr bool operator==(ArenaId, ArenaId) = default;

 private:
  uint32_t word_ = kNoneWord;
};

using TextId = ArenaId<struct TextTag>;

}  // namespace velmora
