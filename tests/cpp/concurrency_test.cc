// Threads on one store: interning side by side, readers of every kind while
// writers grow it (two of them reducing with one engine), and a panic under
// its lock poisoning exactly that store. Also run under ThreadSanitizer.
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
#include "optimizer/incremental/incremental.h"
#include "optimizer/pipeline.h"
#include "serialize/blob.h"
#include "store/store.h"

namespace velmora {
namespace {

constexpr int kThreads = 6;

NodeId intern_ok(GraphStore& store, NodeKey key) {
  auto id = store.intern(std::move(key));
  if (!id.ok()) panic("intern failed with id " + std::to_string(id.error().id));
  return *id;
}

// Runs `body(t)` on `n` threads that start together.
template <typename F>
void run_threads(int n, F body) {
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < n) std::this_thread::yield();
      body(t);
    });
  }
  for (auto& th : threads) th.join();
}

const EggEngine& engine() {
  static const EggEngine e = EggEngine::make_default();
  return e;
}

// Grows a store with sources, ops over its own earlier nodes, commuted
// duplicates, identity ops and marks, so reductions have real work to do.
struct Grower {
  GraphStore& store;
  std::mt19937 rng;
  std::vector<NodeId> mine;
  int added = 0;

  Grower(GraphStore& s, int writer)
      : store(s), rng(writer * 7919u + 1u),
        mine{intern_ok(s, NodeKey::Source("x" + std::to_string(writer))), intern_ok(s, NodeKey::Source("shared"))} {}

  void add(int count) {
    const ParamMap identity({{"scalar", ParamValue::Float(1.0)}, {"side", ParamValue::Str("r")}});
    for (int i = 0; i < count; ++i, ++added) {
      const NodeId a = mine[rng() % mine.size()];
      const NodeId b = mine[rng() % mine.size()];
      const NodeKey keys[] = {NodeKey::Op("add", {a, b}), NodeKey::Op("add", {b, a}),
                              NodeKey::Op("mul", {a}, identity), NodeKey::Op("neg", {a})};
      mine.push_back(intern_ok(store, keys[added % 4]));
      if (added % 50 == 0 && !store.mark_output(mine.back()).ok()) panic("mark failed");
    }
  }
};

TEST(ConcurrencyIntern, EqualKeysShareAnIdAndDistinctKeysGetDenseOnes) {
  constexpr int kShared = 200;
  GraphStore store;
  std::vector<std::vector<NodeId>> shared(kThreads, std::vector<NodeId>(2 * kShared));
  std::vector<std::vector<NodeId>> own(kThreads);
  run_threads(kThreads, [&](int t) {
    std::vector<int> order(kShared);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<uint32_t>(t)));
    const std::string name = "t" + std::to_string(t);
    own[t].push_back(intern_ok(store, NodeKey::Source(name)));
    for (int k : order) {
      // The op's key depends only on the source's id, which every thread must
      // agree on, so the ops are equal keys too.
      const NodeId src = intern_ok(store, NodeKey::Source("s" + std::to_string(k)));
      shared[t][k] = src;
      shared[t][kShared + k] = intern_ok(store, NodeKey::Op("neg", {src}));
      own[t].push_back(intern_ok(store, NodeKey::Op(name, {own[t].back()}, ParamMap({{"i", ParamValue::Int(k)}}))));
    }
  });
  const Snapshot snap = store.snapshot();
  ASSERT_EQ(snap.nodes.size(), 2u * kShared + kThreads * (kShared + 1u));
  std::vector<int> seen(snap.nodes.size(), 0);
  for (NodeId id : shared[0]) ++seen[id];
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(shared[t], shared[0]) << "thread " << t;
    for (std::size_t i = 0; i < own[t].size(); ++i) {
      const NodeId id = own[t][i];
      ASSERT_EQ(++seen[id], 1) << "id " << id << " handed out twice";
      EXPECT_EQ(snap.nodes[id].name(), "t" + std::to_string(t));  // the key its thread interned
      const auto in = snap.nodes[id].inputs();
      EXPECT_TRUE(i == 0 ? in.empty() : in.size() == 1 && in[0] == own[t][i - 1]) << id;
    }
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(seen.size()));  // dense
}

// Writers grow one store until every reader has read it a few times while it
// grew. Readers take snapshots and deltas, try ids that do not exist yet,
// reduce, and feed two incremental reducers: each sees a consistent prefix.
TEST(ConcurrencyStore, ReadersOfEveryKindWhileWritersGrowIt) {
  constexpr int kWriters = 3;
  constexpr int kReaders = 6;
  constexpr int kReadsEach = 4;
  constexpr NodeId kFar = 1'000'000;
  GraphStore store;
  std::atomic<int> writers_left{kWriters};
  std::atomic<int> reads{0};
  std::atomic<int> readers_done{0};
  struct Observed {
    NodeId output;
    ReductionReport report;
    std::vector<NodeKey> reduced;  // copies: the reduced store is gone by the check
    NodeMap node_map;
  };
  std::vector<Observed> observed[2];
  IncrementalReducer reducers[2];

  run_threads(kWriters + kReaders, [&](int t) {
    if (t < kWriters) {
      Grower g(store, t);
      // Chunks until every reader is done; a moment after each for readers
      // to finish a read, so reads really overlap writes, fast or sanitized.
      for (int c = 0; c < 80 && readers_done.load() < kReaders; ++c) {
        g.add(25);
        const int seen = reads.load();
        for (int spin = 0; spin < 2000 && reads.load() == seen; ++spin) std::this_thread::yield();
      }
      g.add(25);  // at least one chunk after the last counted read
      writers_left.fetch_sub(1);
      return;
    }
    const int role = t - kWriters;
    const NodeId own = intern_ok(store, NodeKey::Source("reader"));
    std::vector<NodeKey> prefix;
    std::vector<NodeId> marks;
    int count = 0;
    for (bool last = false; !last;) {
      last = writers_left.load() == 0;  // one more round after the writers stop
      if (role == 0) {
        // Nodes never change or move, and marks only grow in the order of
        // their first marking: every earlier view is a prefix of a later one.
        const Snapshot snap = store.snapshot();
        for (std::size_t i = 0; i < snap.nodes.size(); ++i) {
          for (NodeId input : snap.nodes[i].inputs()) ASSERT_LT(input, i);
        }
        const std::vector<NodeKey> now = snap.nodes.keys();
        ASSERT_TRUE(now.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), now.begin()));
        ASSERT_TRUE(snap.outputs.size() >= marks.size() &&
                    std::equal(marks.begin(), marks.end(), snap.outputs.begin()));
        for (NodeId out : snap.outputs) ASSERT_LT(out, now.size());
        marks = snap.outputs;
        const std::vector<NodeKey> tail = store.snapshot_from(prefix.size()).keys();
        ASSERT_TRUE(std::equal(now.begin() + static_cast<std::ptrdiff_t>(prefix.size()), now.end(), tail.begin()));
        prefix.insert(prefix.end(), tail.begin(), tail.end());
        // The DOT text is rendered under the lock, so it names whole nodes only.
        const std::string dot = store.to_dot();
        ASSERT_TRUE(dot.starts_with("digraph velmora {") && dot.ends_with("}\n"));
      } else if (role == 1) {
        // An id not yet in the store is refused even while others are about
        // to create it: the first offending one in input order.
        const uint64_t n = store.node_count();
        EXPECT_EQ(store.intern(NodeKey::Op("never", {own, kFar + n, kFar})).error(), BadNodeId{kFar + n});
        EXPECT_EQ(store.mark_output(kFar).error(), BadNodeId{kFar});
      } else if (role < 4) {
        const NodeId output = store.node_count() - 1;
        const ReducedStore r = reduce_with_outputs(store, {output}, engine(), false).value();
        ASSERT_EQ(r.store->node_map().size(), r.report.input_nodes);
        observed[role - 2].push_back({output, r.report, r.store->snapshot().nodes.keys(), r.store->node_map()});
      } else {
        IncrementalReducer& r = reducers[role - 4];
        const uint64_t before = r.watermark();
        const uint64_t consumed = r.step(store.snapshot_from(before)).value();
        ASSERT_EQ(r.watermark(), before + consumed);
        ASSERT_EQ(r.total_work(), r.watermark());
      }
      if (!last) {
        reads.fetch_add(1);
        if (++count == kReadsEach) readers_done.fetch_add(1);
      }
    }
  });

  const Snapshot snap = store.snapshot();
  const std::vector<NodeKey> all = snap.nodes.keys();
  // Racing writers never stored one key twice, nor marked one id twice, and
  // no refused key landed later.
  EXPECT_EQ(absl::flat_hash_set<NodeKey>(all.begin(), all.end()).size(), all.size());
  EXPECT_EQ(absl::flat_hash_set<NodeId>(snap.outputs.begin(), snap.outputs.end()).size(), snap.outputs.size());
  for (const NodeKey& key : all) EXPECT_NE(key.name(), "never");
  // A reduction taken while the store grew equals the same reduction of the
  // finished store: later nodes are never reachable from an earlier output.
  for (const Observed& o : observed[0].size() > observed[1].size() ? observed[0] : observed[1]) {
    const ReducedStore again = reduce_with_outputs(store, {o.output}, engine(), false).value();
    ReductionReport expected = again.report;
    expected.input_nodes = o.report.input_nodes;
    EXPECT_EQ(o.report, expected) << "output " << o.output;
    EXPECT_TRUE(again.store->snapshot().nodes == o.reduced) << "output " << o.output;
    NodeMap map = again.store->node_map();
    ASSERT_GE(map.size(), o.node_map.size());
    EXPECT_TRUE(std::all_of(map.begin() + o.node_map.size(), map.end(), [](auto& p) { return !p; }));
    map.resize(o.node_map.size());
    EXPECT_EQ(o.node_map, map);
  }
  // However the deltas were cut, the canonical form is the one of one step.
  IncrementalReducer one_step;
  ASSERT_TRUE(one_step.step(snap.nodes).ok());
  EXPECT_LT(one_step.canonical_count(), all.size());  // the commuted and identity ops merged
  const std::vector<NodeId> outputs{all.size() - 1, 0, all.size() - 1};
  for (const IncrementalReducer& r : reducers) {
    EXPECT_EQ(r.watermark(), all.size());
    EXPECT_TRUE(r.canonical_form() == one_step.canonical_form());
    EXPECT_EQ(r.canonical_of(), one_step.canonical_of());
    EXPECT_EQ(r.finalize(outputs, engine(), false).value().node_map,
              one_step.finalize(outputs, engine(), false).value().node_map);
  }
}

TEST(ConcurrencyPoison, APanicUnderTheLockPoisonsOnlyThatStore) {
  GraphStore poisoned;
  GraphStore healthy;
  Grower(poisoned, 0).add(20);
  Grower(healthy, 0).add(20);
  std::atomic<int> blocked_panics{0};
  std::vector<std::thread> waiters;
  try {
    poisoned.with_lock_for_test([&] {
      // These threads start while the lock is held, so each of them can only
      // reach the store after the panic below.
      for (int t = 0; t < kThreads; ++t) {
        waiters.emplace_back([&] {
          try {
            (void)poisoned.intern(NodeKey::Source("waiter"));
          } catch (const Panic& p) {
            if (std::string_view(p.what()).starts_with(kStorePoisoned)) blocked_panics.fetch_add(1);
          }
        });
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      panic("broken invariant");
    });
    ADD_FAILURE() << "the panic did not propagate";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "broken invariant");
  }
  for (auto& w : waiters) w.join();
  EXPECT_EQ(blocked_panics.load(), kThreads);

  // Every later operation on the poisoned store panics, from any thread.
  const auto expect_poisoned = [](const auto& op) {
    try {
      op();
      ADD_FAILURE() << "operation on a poisoned store succeeded";
    } catch (const Panic& p) {
      EXPECT_TRUE(std::string_view(p.what()).starts_with("velmora-core store mutex poisoned")) << p.what();
    }
  };
  std::thread([&] {
    expect_poisoned([&] { (void)poisoned.node_count(); });
    expect_poisoned([&] { (void)poisoned.intern(NodeKey::Source("after")); });
    expect_poisoned([&] { (void)poisoned.mark_output(0); });
    expect_poisoned([&] { (void)poisoned.snapshot(); });
    expect_poisoned([&] { (void)poisoned.snapshot_from(0); });
    expect_poisoned([&] { (void)poisoned.outputs(); });
    expect_poisoned([&] { (void)poisoned.node_map(); });
    expect_poisoned([&] { (void)poisoned.to_dot(); });
    expect_poisoned([&] { poisoned.set_node_map({}); });
    expect_poisoned([&] { (void)serialize_with(poisoned, {}); });
    expect_poisoned([&] { (void)reduce_with_outputs(poisoned, {0}, engine(), false); });
    expect_poisoned([&] { (void)reduce_with(poisoned, engine(), true); });
  }).join();

  // The other store, used concurrently, is untouched; errors that callers
  // cause are values, not unwinding, and poison nothing.
  const NodeId last = healthy.node_count() - 1;
  std::vector<ReductionReport> reports(kThreads);
  run_threads(kThreads, [&](int t) {
    for (int i = 0; i < 20; ++i) {
      EXPECT_FALSE(healthy.intern(NodeKey::Op("neg", {NodeId{1000} + static_cast<NodeId>(t)})).ok());
      (void)intern_ok(healthy, NodeKey::Source("s" + std::to_string(i)));
    }
    reports[t] = reduce_with_outputs(healthy, {last}, engine(), false).value().report;
  });
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(reports[t].reduced_nodes, reports[0].reduced_nodes);
  EXPECT_EQ(healthy.node_count(), last + 21);
}

}  // namespace
}  // namespace velmora
