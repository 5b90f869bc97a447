// Helpers shared by the concurrency tests.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/panic.h"
#include "store/store.h"

namespace velmora::test_support {

inline NodeId intern_ok(GraphStore& store, NodeKey key) {
  auto id = store.intern(std::move(key));
  if (!id.ok()) panic("intern failed with id " + std::to_string(id.error().id));
  return *id;
}

// Runs `body(t)` on `n` threads that start together.
template <typename F>
void run_threads(int n, F body) {
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  threads.reserve(n);
  for (int t = 0; t < n; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < n) std::this_thread::yield();
      body(t);
    });
  }
  for (auto& th : threads) th.join();
}

}  // namespace velmora::test_support
