// Loads of 4 and 8 bytes from any byte address, in the machine's byte order:
// what word-at-a-time text hashing and checking read with.
#pragma once

#include <cstdint>
#include <cstring>

namespace velmora {

template <typename Byte>
inline uint64_t load64(const Byte* p) {
  static_assert(sizeof(Byte) == 1);
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

template <typename Byte>
inline uint64_t load32(const Byte* p) {
  static_assert(sizeof(Byte) == 1);
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace velmora
