// text_hash: the 32-bit hash a store keys its texts by; same_text, the
// comparison its lookups confirm a match with; text_before, the order its
// parameter names keep. Texts are mostly a few bytes (names, parameter
// names, short values), so the hash is inline and reads a short text in at
// most two loads; longer texts go 16 bytes a round. It is keyed with the
// process's HashKey, so that texts from an untrusted blob cannot be chosen to
// collide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/hash_key.h"
#include "base/load.h"

namespace velmora {
namespace text_hash_detail {

inline constexpr uint64_t kP1 = 0xe7037ed1a0b428dbULL;

}  // namespace text_hash_detail

[[nodiscard]] inline uint32_t text_hash(std::string_view s) {
  using namespace text_hash_detail;
  const char* p = s.data();
  std::size_t n = s.size();
  const HashKey& key = HashKey::get();
  const uint64_t k1 = key.word[1];
  uint64_t seed = key.word[0];
  uint64_t a = 0;
  uint64_t b = 0;
  if (n <= 16) {
    if (n >= 8) {
      a = load64(p);
      b = load64(p + n - 8);
    } else if (n >= 4) {
      a = load32(p);
      b = load32(p + n - 4);
    } else if (n > 0) {
      a = uint64_t{static_cast<uint8_t>(p[0])} << 16 |
          uint64_t{static_cast<uint8_t>(p[n >> 1])} << 8 | static_cast<uint8_t>(p[n - 1]);
    }
  } else {
    std::size_t left = n;
    while (left > 16) {
      seed = fold(load64(p) ^ k1, load64(p + 8) ^ seed);
      p += 16;
      left -= 16;
    }
    a = load64(p + left - 16);
    b = load64(p + left - 8);
  }
  const uint64_t h = fold(kP1 ^ n, fold(a ^ k1, b ^ seed));
  return static_cast<uint32_t>(h ^ (h >> 32));
}

// Equality of two texts, inline for the short ones that a library call would
// cost more to reach than to compare.
[[nodiscard]] inline bool same_text(std::string_view x, std::string_view y) {
  using namespace text_hash_detail;
  const std::size_t n = x.size();
  if (n != y.size()) return false;
  const char* a = x.data();
  const char* b = y.data();
  if (n > 16) return std::memcmp(a, b, n) == 0;
  if (n >= 8) return ((load64(a) ^ load64(b)) | (load64(a + n - 8) ^ load64(b + n - 8))) == 0;
  if (n >= 4) return ((load32(a) ^ load32(b)) | (load32(a + n - 4) ^ load32(b + n - 4))) == 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Whether `a` sorts before `b` as bytes, as string_view's < tells it, in a
// loop inline: parameter names are short and mostly differ early.
[[nodiscard]] inline bool text_before(std::string_view a, std::string_view b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
  }
  return a.size() < b.size();
}

}  // namespace velmora
