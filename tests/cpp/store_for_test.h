// Test-only access to a store's lock.
#pragma once

#include "store/store.h"

namespace velmora {

struct StoreForTest {
  // Runs `f` while holding the store's lock; a throw from it poisons the store.
  template <typename F>
  static void with_lock(GraphStore& store, F&& f) {
    PoisonGuard g(store.mutex_);
    f();
  }
};

}  // namespace velmora
