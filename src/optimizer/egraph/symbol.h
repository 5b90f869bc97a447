// Symbols: interned texts compared by a 32-bit id. Two symbols are equal
// exactly when their texts are equal.
//
// Texts interned with `Symbol::intern` live in one process-wide table that is
// never emptied, so it should hold only the few texts that rules name. Texts
// that belong to one piece of work (the operators of one input graph) go into a
// `LocalSymbols` scope instead: its ids are disjoint from the global ones, it
// reuses a global symbol when the text has one, and it is freed with the work.
// A scope numbers its own symbols densely from 0 (below `kLocalBit`), so
// per-symbol tables can be arrays.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "absl/hash/hash.h"

namespace velmora::egraph {

class Symbol {
 public:
  // Ids from this bit up belong to local scopes.
  static constexpr uint32_t kLocalBit = 1u << 31;

  constexpr Symbol() = default;
  constexpr explicit Symbol(uint32_t id) : id_(id) {}

  // Thread-safe; the returned symbol stays valid for the life of the process.
  static Symbol intern(std::string_view text);
  // The global symbol of `text`, without adding one.
  static std::optional<Symbol> find(std::string_view text);
  // The text of a global symbol (empty for a local one: ask its scope).
  [[nodiscard]] std::string_view text() const;

  [[nodiscard]] constexpr uint32_t id() const { return id_; }
  [[nodiscard]] constexpr bool is_local() const { return (id_ & kLocalBit) != 0; }

  friend constexpr bool operator==(Symbol, Symbol) = default;
  friend constexpr auto operator<=>(Symbol, Symbol) = default;
  template <typename H>
  friend H AbslHashValue(H h, Symbol s) {
    return H::combine(std::move(h), s.id_);
  }

 private:
  uint32_t id_ = 0;
};

// A private symbol scope; not thread-safe, one per piece of work.
class LocalSymbols {
 public:
  // For a caller whose texts are already distinct from one another: the global
  // symbol of `text`, or a new local one. Neither the text nor a lookup entry
  // is kept, so a local symbol has no text to show.
  Symbol distinct(std::string_view text);

 private:
  uint32_t next_ = 0;  // local ids are dense from 0
};

}  // namespace velmora::egraph
