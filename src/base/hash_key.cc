#include "base/hash_key.h"

#include <random>

#if defined(__linux__) || defined(__APPLE__)
#include <sys/random.h>
#endif

namespace velmora {

HashKey HashKey::draw() {
  HashKey k{};
#if defined(__linux__) || defined(__APPLE__)
  const bool drawn = getentropy(k.word, sizeof k.word) == 0;
#else
  const bool drawn = false;
#endif
  if (!drawn) {
    std::random_device device;
    for (uint64_t& w : k.word) w = uint64_t{device()} << 32 | device();
  }
  k.word[1] |= 1;
  k.word[3] |= 1;
  return k;
}

}  // namespace velmora
