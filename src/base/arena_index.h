// A hash set of positions into a vector that hashes and compares through the
// vector, so each key is stored once (in the vector) and still found by value.
#pragma once

#include <cstdint>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "absl/hash/hash.h"

namespace velmora {

template <typename T>
struct ArenaHash {
  using is_transparent = void;
  const std::vector<T>* items;
  std::size_t operator()(uint64_t i) const { return absl::Hash<T>{}((*items)[i]); }
  std::size_t operator()(const T& v) const { return absl::Hash<T>{}(v); }
};

template <typename T>
struct ArenaEq {
  using is_transparent = void;
  const std::vector<T>* items;
  bool operator()(uint64_t a, uint64_t b) const { return a == b; }
  bool operator()(const T& v, uint64_t i) const { return v == (*items)[i]; }
  bool operator()(uint64_t i, const T& v) const { return v == (*items)[i]; }
};

template <typename T>
using ArenaIndex = absl::flat_hash_set<uint64_t, ArenaHash<T>, ArenaEq<T>>;

template <typename T>
ArenaIndex<T> make_arena_index(const std::vector<T>& items) {
  return ArenaIndex<T>(0, ArenaHash<T>{&items}, ArenaEq<T>{&items});
}

}  // namespace velmora
