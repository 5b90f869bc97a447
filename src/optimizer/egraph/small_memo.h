// The hash-cons key of an e-node of at most two children (nearly all of
// them): its symbol and child class indices in three words, hashed without
// walking a list.
#pragma once

#include <cstdint>
#include <limits>

#include "base/hash_key.h"

namespace velmora::egraph {

struct SmallMemo {
  // A missing child.
  static constexpr uint32_t kMissing = std::numeric_limits<uint32_t>::max();
  struct Key {
    uint32_t op;
    uint32_t c0;
    uint32_t c1;
    friend bool operator==(const Key&, const Key&) = default;
  };

  // Keyed, for the symbols and class ids follow from the caller's graph.
  [[nodiscard]] static uint64_t hash(const Key& k) {
    const HashKey& key = HashKey::get();
    return fold((uint64_t{k.op} << 32 | k.c0) ^ key.word[0], k.c1 ^ key.word[2]);
  }
  [[nodiscard]] static uint32_t hash32(const Key& k) {
    const uint64_t h = hash(k);
    return static_cast<uint32_t>(h ^ (h >> 32));
  }
};

}  // namespace velmora::egraph
