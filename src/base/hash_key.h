// HashKey: the secret words that every hash table taking caller-chosen data
// is keyed with, drawn from the system once per process, on first use. Keys
// chosen offline to collide in one process collide in no other, and no
// leaked pointer gives the words away. Nothing observable depends on them:
// the tables are only probed, never walked in hash order, so every result
// is the same under any key.
//
// The keyed hashes here fold 128-bit products of a secret multiplier with
// the input mixed into a secret state: a chosen difference between two
// inputs becomes a product difference no one can predict without the key.
#pragma once

#include <cstdint>

namespace velmora {

class HashKey {
 public:
  // The process's key. Thread-safe; the first call draws it.
  [[nodiscard]] static const HashKey& get() { return held(); }

  // Words 1 and 3 are multipliers and kept odd, so that no product drops
  // the input's low bits.
  uint64_t word[4];

 private:
  friend struct HashKeyForTest;  // tests/cpp/hash_key_for_test.h
  static HashKey& held() {
    static HashKey key = draw();
    return key;
  }
  static HashKey draw();
};

// The folded 128-bit product: every input bit reaches the middle bits.
[[nodiscard]] inline uint64_t fold(uint64_t a, uint64_t b) {
  const unsigned __int128 m = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(m) ^ static_cast<uint64_t>(m >> 64);
}

// A keyed hash of a sequence of words; `domain` tells apart the sequences
// of different tables or kinds.
class KeyedMixer {
 public:
  explicit KeyedMixer(uint64_t domain) {
    const HashKey& k = HashKey::get();
    h_ = k.word[2] ^ domain;
    mul_ = k.word[3];
  }
  void operator()(uint64_t x) { h_ = fold(h_ ^ x, mul_); }
  [[nodiscard]] uint32_t hash32() const { return static_cast<uint32_t>(h_ ^ (h_ >> 32)); }

 private:
  uint64_t h_;
  uint64_t mul_;
};

// A keyed 32-bit hash of one word, for tables of ids.
[[nodiscard]] inline uint32_t hash_word(uint64_t x) {
  const HashKey& k = HashKey::get();
  const uint64_t h = fold(x ^ k.word[0], k.word[1]);
  return static_cast<uint32_t>(h ^ (h >> 32));
}

}  // namespace velmora
