// One store shared by many threads: interning, output marks and snapshots side
// by side, and a panic under the store lock poisoning exactly that store. Also
// run under ThreadSanitizer.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "absl/container/flat_hash_set.h"

#include "base/panic.h"
#include "node/node.h"
#include "param/param.h"
#include "store/store.h"
#include "threads.h"

namespace velmora {
namespace {

using test_support::intern_ok;
using test_support::run_threads;

constexpr int kThreads = 6;

// The invariants every consistent view of a store must satisfy.
void expect_consistent(const Snapshot& snap) {
  for (std::size_t i = 0; i < snap.nodes.size(); ++i) {
    for (NodeId input : snap.nodes[i].inputs()) ASSERT_LT(input, i) << "node " << i;
  }
  for (NodeId out : snap.outputs) ASSERT_LT(out, snap.nodes.size());
}

TEST(ConcurrencyIntern, EqualKeysGetOneIdWhateverTheInterleaving) {
  constexpr int kSources = 200;
  GraphStore store;
  std::vector<std::vector<NodeId>> ids(kThreads, std::vector<NodeId>(2 * kSources));
  run_threads(kThreads, [&](int t) {
    std::vector<int> order(kSources);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<uint32_t>(t)));
    for (int k : order) {
      // The op's key depends only on the source's id, which every thread must
      // agree on, so the ops are equal keys too.
      const NodeId src = intern_ok(store, NodeKey::Source("s" + std::to_string(k)));
      ids[t][k] = src;
      ids[t][kSources + k] = intern_ok(store, NodeKey::Op("neg", {src}));
    }
  });
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(ids[t], ids[0]) << "thread " << t;
  EXPECT_EQ(store.node_count(), 2u * kSources);
  std::vector<NodeId> sorted = ids[0];
  std::sort(sorted.begin(), sorted.end());
  std::vector<NodeId> dense(2 * kSources);
  std::iota(dense.begin(), dense.end(), NodeId{0});
  EXPECT_EQ(sorted, dense);
}

TEST(ConcurrencyIntern, DistinctKeysGetDistinctDenseIds) {
  constexpr int kPerThread = 400;
  GraphStore store;
  std::vector<std::vector<NodeId>> ids(kThreads);
  run_threads(kThreads, [&](int t) {
    const std::string name = "t" + std::to_string(t);
    NodeId prev = intern_ok(store, NodeKey::Source(name));
    ids[t].push_back(prev);
    for (int i = 1; i < kPerThread; ++i) {
      prev = intern_ok(store, NodeKey::Op(name, {prev}, ParamMap({{"i", ParamValue::Int(i)}})));
      ids[t].push_back(prev);
    }
  });
  ASSERT_EQ(store.node_count(), uint64_t{kThreads} * kPerThread);
  const Snapshot snap = store.snapshot();
  expect_consistent(snap);
  std::vector<bool> seen(snap.nodes.size(), false);
  for (int t = 0; t < kThreads; ++t) {
    const std::string name = "t" + std::to_string(t);
    for (std::size_t i = 0; i < ids[t].size(); ++i) {
      const NodeId id = ids[t][i];
      ASSERT_FALSE(seen[id]) << "id " << id << " handed out twice";
      seen[id] = true;
      // Each id names exactly the key its thread interned.
      EXPECT_EQ(snap.nodes[id].name(), name);
      if (i > 0) {
        ASSERT_EQ(snap.nodes[id].inputs().size(), 1u);
        EXPECT_EQ(snap.nodes[id].inputs()[0], ids[t][i - 1]);
      }
    }
  }
}

TEST(ConcurrencyIntern, BadInputsRacingWithGrowthChangeNothing) {
  // An input id that is not yet in the store is rejected even while other
  // threads are about to create it; a rejected key never lands later.
  constexpr int kWriters = 3;
  constexpr int kPerWriter = 300;
  constexpr NodeId kFar = kWriters * kPerWriter * 2;
  GraphStore store;
  std::atomic<int> writers_left{kWriters};
  std::atomic<int> rejected{0};
  run_threads(kWriters + 1, [&](int t) {
    if (t < kWriters) {
      for (int i = 0; i < kPerWriter; ++i) {
        intern_ok(store, NodeKey::Source("w" + std::to_string(t) + "_" + std::to_string(i)));
      }
      writers_left.fetch_sub(1);
      return;
    }
    const NodeId own = intern_ok(store, NodeKey::Source("checker"));
    do {
      // The first offending id in input order is the one reported.
      const uint64_t n = store.node_count();
      auto bad = store.intern(NodeKey::Op("add", {own, kFar + n, kFar}));
      ASSERT_FALSE(bad.ok());
      EXPECT_EQ(bad.error().id, kFar + n);
      auto mark = store.mark_output(kFar);
      ASSERT_FALSE(mark.ok());
      EXPECT_EQ(mark.error().id, kFar);
      rejected.fetch_add(1);
    } while (writers_left.load() > 0);
  });
  EXPECT_GT(rejected.load(), 0);
  const Snapshot snap = store.snapshot();
  ASSERT_EQ(snap.nodes.size(), uint64_t{kWriters} * kPerWriter + 1);
  for (const NodeView k : snap.nodes) EXPECT_TRUE(k.inputs().empty());
  EXPECT_TRUE(snap.outputs.empty());
}

TEST(ConcurrencySnapshot, ViewsStayConsistentWhileOthersInternAndMark) {
  constexpr int kWriters = 3;
  constexpr int kReaders = 3;
  constexpr int kPerWriter = 400;
  GraphStore store;
  std::atomic<int> writers_left{kWriters};
  std::atomic<int> views{0};

  run_threads(kWriters + kReaders, [&](int t) {
    if (t < kWriters) {
      std::mt19937 rng(static_cast<uint32_t>(t) * 7919u + 1u);
      std::vector<NodeId> mine{intern_ok(store, NodeKey::Source("x" + std::to_string(t))),
                               intern_ok(store, NodeKey::Source("shared"))};
      for (int i = 0; i < kPerWriter; ++i) {
        const NodeId a = mine[rng() % mine.size()];
        const NodeId b = mine[rng() % mine.size()];
        mine.push_back(intern_ok(store, NodeKey::Op(i % 2 ? "add" : "mul", {a, b})));
        if (i % 50 == 0) {
          ASSERT_TRUE(store.mark_output(mine.back()).ok());
        }
      }
      writers_left.fetch_sub(1);
      return;
    }
    std::vector<NodeKey> seen_prefix;
    std::vector<NodeId> seen_outputs;
    do {
      const Snapshot snap = store.snapshot();
      expect_consistent(snap);
      // Views are read without the lock while writers go on; nodes never
      // change or move, so every earlier view is a prefix of this one.
      const std::vector<NodeKey> now = snap.nodes.keys();
      ASSERT_LE(seen_prefix.size(), now.size());
      ASSERT_TRUE(std::equal(seen_prefix.begin(), seen_prefix.end(), now.begin()));
      // Marks only grow, in the order of their first marking.
      ASSERT_LE(seen_outputs.size(), snap.outputs.size());
      ASSERT_TRUE(std::equal(seen_outputs.begin(), seen_outputs.end(), snap.outputs.begin()));
      seen_outputs = snap.outputs;

      const std::vector<NodeKey> tail = store.snapshot_from(seen_prefix.size()).keys();
      ASSERT_GE(seen_prefix.size() + tail.size(), now.size());
      ASSERT_TRUE(std::equal(now.begin() + static_cast<std::ptrdiff_t>(seen_prefix.size()),
                             now.end(), tail.begin()));
      seen_prefix.insert(seen_prefix.end(), tail.begin(), tail.end());
      ASSERT_LE(seen_prefix.size(), store.node_count());
      // The DOT text is rendered under the lock, so it names whole nodes only.
      const std::string dot = store.to_dot();
      ASSERT_TRUE(dot.starts_with("digraph velmora {"));
      ASSERT_TRUE(dot.ends_with("}\n"));
      views.fetch_add(1);
    } while (writers_left.load() > 0);
  });

  EXPECT_GT(views.load(), 0);
  const Snapshot snap = store.snapshot();
  expect_consistent(snap);
  // Racing writers never stored one key twice, nor marked one id twice.
  const std::vector<NodeKey> all = snap.nodes.keys();
  const absl::flat_hash_set<NodeKey> distinct(all.begin(), all.end());
  EXPECT_EQ(distinct.size(), snap.nodes.size());
  const absl::flat_hash_set<NodeId> marks(snap.outputs.begin(), snap.outputs.end());
  EXPECT_EQ(marks.size(), snap.outputs.size());
}

TEST(ConcurrencyPoison, PanicUnderTheLockPoisonsOnlyThatStore) {
  GraphStore poisoned;
  GraphStore healthy;
  const NodeId kept = intern_ok(poisoned, NodeKey::Source("before"));
  ASSERT_EQ(kept, 0u);

  std::atomic<int> blocked_panics{0};
  std::atomic<int> blocked_successes{0};
  std::vector<std::thread> waiters;
  bool propagated = false;
  try {
    poisoned.with_lock_for_test([&] {
      // These threads start while the lock is held, so each of them can only
      // reach the store after the panic below.
      for (int t = 0; t < kThreads; ++t) {
        waiters.emplace_back([&, t] {
          try {
            (void)poisoned.intern(NodeKey::Source("w" + std::to_string(t)));
            blocked_successes.fetch_add(1);
          } catch (const Panic& p) {
            if (std::string_view(p.what()).starts_with(kStorePoisoned)) blocked_panics.fetch_add(1);
          }
        });
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      panic("broken invariant");
    });
  } catch (const Panic& p) {
    propagated = true;
    EXPECT_STREQ(p.what(), "broken invariant");
  }
  for (auto& w : waiters) w.join();
  EXPECT_TRUE(propagated);
  EXPECT_EQ(blocked_successes.load(), 0);
  EXPECT_EQ(blocked_panics.load(), kThreads);

  // Every later operation on the poisoned store panics, from any thread.
  const auto expect_poisoned = [](const auto& op) {
    try {
      op();
      ADD_FAILURE() << "operation on a poisoned store succeeded";
    } catch (const Panic& p) {
      EXPECT_TRUE(std::string_view(p.what()).starts_with("velmora-core store mutex poisoned"))
          << p.what();
    }
  };
  std::thread([&] {
    expect_poisoned([&] { (void)poisoned.node_count(); });
    expect_poisoned([&] { (void)poisoned.intern(NodeKey::Source("after")); });
    expect_poisoned([&] { (void)poisoned.mark_output(kept); });
    expect_poisoned([&] { (void)poisoned.snapshot(); });
    expect_poisoned([&] { (void)poisoned.snapshot_from(0); });
    expect_poisoned([&] { (void)poisoned.outputs(); });
    expect_poisoned([&] { (void)poisoned.node_map(); });
    expect_poisoned([&] { (void)poisoned.to_dot(); });
    expect_poisoned([&] { poisoned.set_node_map({}); });
  }).join();

  // The other store, used concurrently, is untouched.
  run_threads(kThreads, [&](int t) {
    const NodeId s = intern_ok(healthy, NodeKey::Source("shared"));
    (void)intern_ok(healthy, NodeKey::Op("neg", {s}, ParamMap({{"t", ParamValue::Int(t)}})));
  });
  EXPECT_EQ(healthy.node_count(), 1u + kThreads);
  EXPECT_TRUE(healthy.mark_output(0).ok());
  EXPECT_EQ(healthy.outputs(), std::vector<NodeId>{0});
}

TEST(ConcurrencyPoison, AnErrorResultDoesNotPoison) {
  // Caller errors are values, not unwinding: the store stays usable.
  GraphStore store;
  run_threads(kThreads, [&](int t) {
    for (int i = 0; i < 50; ++i) {
      auto bad = store.intern(NodeKey::Op("neg", {NodeId{1000} + static_cast<NodeId>(t)}));
      ASSERT_FALSE(bad.ok());
      (void)intern_ok(store, NodeKey::Source("s" + std::to_string(i)));
    }
  });
  EXPECT_EQ(store.node_count(), 50u);
}

}  // namespace
}  // namespace velmora
