// Test-only access to the process's hash key.
#pragma once

#include "base/hash_key.h"

namespace velmora {

struct HashKeyForTest {
  // Replaces the key. Only while no table keyed with it is alive: its
  // entries would be looked for where the new key sends them.
  static void set(const HashKey& key) { HashKey::held() = key; }
};

}  // namespace velmora
