// Exact UTF-8 validation for text read from untrusted bytes: rejects stray
// continuation bytes, overlong forms, surrogates (U+D800..U+DFFF), code points
// above U+10FFFF and sequences cut short.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/load.h"

namespace velmora {

namespace utf8_detail {

// The whole check, kept out of line: most texts never need it.
[[gnu::noinline]] inline bool decode_check(const uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    // Most text is ASCII: skip it eight bytes at a time.
    if (n - i >= 8) {
      if ((load64(p + i) & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    const uint8_t b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    auto cont = [&](std::size_t k) { return (p[i + k] & 0xC0) == 0x80; };
    if (b < 0xC2) return false;  // a continuation byte, or an overlong 2-byte lead
    if (b < 0xE0) {
      if (n - i < 2 || !cont(1)) return false;
      i += 2;
    } else if (b < 0xF0) {
      if (n - i < 3) return false;
      // E0 needs A0.. (else overlong); ED needs ..9F (else a surrogate).
      const uint8_t lo = b == 0xE0 ? 0xA0 : 0x80;
      const uint8_t hi = b == 0xED ? 0x9F : 0xBF;
      if (p[i + 1] < lo || p[i + 1] > hi || !cont(2)) return false;
      i += 3;
    } else if (b < 0xF5) {
      if (n - i < 4) return false;
      // F0 needs 90.. (else overlong); F4 needs ..8F (else above U+10FFFF).
      const uint8_t lo = b == 0xF0 ? 0x90 : 0x80;
      const uint8_t hi = b == 0xF4 ? 0x8F : 0xBF;
      if (p[i + 1] < lo || p[i + 1] > hi || !cont(2) || !cont(3)) return false;
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace utf8_detail

[[nodiscard]] inline bool is_valid_utf8(const uint8_t* p, std::size_t n) {
  using namespace utf8_detail;
  // ASCII is valid as it stands: look for a high bit a word at a time (the
  // last word overlapping the one before), and decode only text that has one.
  uint64_t high = 0;
  if (n >= 8) {
    high = load64(p + n - 8);
    for (std::size_t i = 0; i + 8 < n; i += 8) high |= load64(p + i);
  } else if (n >= 4) {
    high = load32(p) | load32(p + n - 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) high |= p[i];
  }
  if ((high & 0x8080808080808080ULL) == 0) return true;
  return decode_check(p, n);
}

}  // namespace velmora
