// Threads on one store: readers of every kind while writers grow it, and a
// panic under its lock poisoning exactly that store. Also run under TSan.
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <random>
#include <thread>

#include "absl/container/flat_hash_set.h"
#include "gtest/gtest.h"
#include "ids_for_test.h"
#include "optimizer/incremental/incremental.h"
#include "serialize/blob.h"
#include "store_for_test.h"

namespace velmora {
namespace {

const EggEngine& engine() {
  static const EggEngine e = EggEngine::make_default();
  return e;
}

// Grows a store by ops over its own nodes, commuted duplicates, identities,
// keys all writers intern, and marks; keeps each id it got with its key.
struct Grower {
  GraphStore& store;
  std::mt19937 rng;
  std::vector<std::pair<NodeId, NodeKey>> got;

  Grower(GraphStore& s, int writer) : store(s), rng(writer * 7919u + 1u) {
    intern(NodeKey::Source("shared"));
    intern(NodeKey::Source("x" + std::to_string(writer)));
  }
  void intern(NodeKey key) { got.emplace_back(store.intern(key).value(), std::move(key)); }
  void add(int count) {
    const ParamMap identity({{"scalar", ParamValue::Float(1.0)}, {"side", ParamValue::Str("r")}});
    for (int i = 0; i < count; ++i) {
      const NodeId a = got[rng() % got.size()].first;
      const NodeId b = got[rng() % got.size()].first;
      const NodeKey keys[] = {NodeKey::Op("add", {a, b}), NodeKey::Op("add", {b, a}), NodeKey::Op("mul", {a}, identity),
                              NodeKey::Op("neg", {got[0].first}, ParamMap({{"k", ParamValue::Int(got.size() % 64)}}))};
      intern(keys[got.size() % 4]);
      EXPECT_TRUE(got.size() % 50 || store.mark_output(got.back().first).ok());
    }
  }
};

// Writers grow a store until each reader (snapshots, ids not there yet, two
// reductions with one engine, two incremental reducers) has read it a few
// times meanwhile: each sees a consistent prefix, each id names its key.
TEST(ConcurrencyStore, ReadersOfEveryKindWhileWritersGrowIt) {
  constexpr int kWriters = 3, kReaders = 5, kReadsEach = 4;
  constexpr NodeId kFar(1'000'000);
  GraphStore store;
  std::atomic<int> writers_left{kWriters}, reads{0}, readers_done{0};
  std::vector<std::pair<NodeId, ReducedStore>> observed[2];
  IncrementalReducer reducers[2];
  std::optional<Grower> growers[kWriters];
  std::vector<std::jthread> threads;
  for (int t = 0; t < kWriters + kReaders; ++t) threads.emplace_back([&, t] {
    if (t < kWriters) {
      // A moment after each chunk for the readers: reads overlap writes.
      Grower& g = growers[t].emplace(store, t);
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
    const NodeId own = store.intern(NodeKey::Source("reader")).value();
    std::vector<NodeKey> prefix;
    std::vector<NodeId> marks;
    for (int count = 0, last = 0; !last; ++count) {
      last = writers_left.load() == 0;  // one more round after the writers stop
      if (role == 0) {
        // Nodes never change or move, and marks only grow in the order of
        // their first marking: every earlier view is a prefix of a later one.
        const Snapshot snap = store.snapshot();
        const std::vector<NodeKey> now = snap.nodes.keys();
        ASSERT_TRUE(now.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), now.begin()));
        ASSERT_LE(marks.size(), snap.outputs.size());
        ASSERT_TRUE(std::equal(marks.begin(), marks.end(), snap.outputs.begin()));
        marks = snap.outputs;
        prefix = now;
        // DOT is rendered under the lock: whole nodes only. An id not there
        // yet is refused even while others are about to create it.
        const std::string dot = store.to_dot();
        ASSERT_TRUE(dot.starts_with("digraph velmora {") && dot.ends_with("}\n"));
        const NodeId far(kFar.value() + now.size());
        EXPECT_EQ(store.intern(NodeKey::Op("never", {own, far, kFar})).error(), BadNodeId{far});
        EXPECT_EQ(store.mark_output(kFar).error(), BadNodeId{kFar});
      } else if (role < 3) {
        const NodeId output(store.node_count() - 1);
        observed[role - 1].emplace_back(output, reduce_with_outputs(store, {output}, engine(), false).value());
      } else {
        IncrementalReducer& r = reducers[role - 3];
        const uint64_t before = r.watermark();
        const uint64_t consumed = r.step(store.snapshot_from(NodeId(before))).value();
        ASSERT_EQ(r.watermark(), before + consumed);
        ASSERT_EQ(r.total_work(), r.watermark());
      }
      if (!last) reads.fetch_add(1);
      if (!last && count + 1 == kReadsEach) readers_done.fetch_add(1);
    }
  });
  threads.clear();  // joins them
  const Snapshot snap = store.snapshot();
  const std::vector<NodeKey> all = snap.nodes.keys();
  // No key stored or marked twice, no node before its inputs, none refused.
  EXPECT_EQ(absl::flat_hash_set<NodeKey>(all.begin(), all.end()).size(), all.size());
  EXPECT_EQ(absl::flat_hash_set<NodeId>(snap.outputs.begin(), snap.outputs.end()).size(), snap.outputs.size());
  for (uint64_t i = 0; i < all.size(); ++i) {
    EXPECT_NE(all[i].name(), "never");
    for (NodeId input : all[i].inputs()) ASSERT_LT(input.value(), i);
  }
  for (const auto& g : growers) {
    for (const auto& [id, key] : g->got) ASSERT_EQ(all[id.value()], key) << id;
  }
  // A reduction taken while the store grew equals the same reduction of the
  // finished store: later nodes are never reachable from an earlier output.
  for (const auto& [output, r] : observed[0].size() > observed[1].size() ? observed[0] : observed[1]) {
    const ReducedStore again = reduce_with_outputs(store, {output}, engine(), false).value();
    ReductionReport expected = again.report;
    expected.input_nodes = r.report.input_nodes;
    EXPECT_EQ(r.report, expected) << output;
    EXPECT_TRUE(again.store->snapshot().nodes == r.store->snapshot().nodes) << output;
    NodeMap map = again.store->node_map();
    EXPECT_TRUE(std::all_of(map.begin() + r.report.input_nodes, map.end(), [](auto& p) { return !p; }));
    map.resize(r.report.input_nodes);
    EXPECT_EQ(r.store->node_map(), map);
  }
  // However the deltas were cut, the canonical form is the one of one step.
  IncrementalReducer one_step;
  ASSERT_TRUE(one_step.step(snap.nodes).ok());
  for (const IncrementalReducer& r : reducers) {
    EXPECT_EQ(r.watermark(), all.size());
    EXPECT_TRUE(r.canonical_form() == one_step.canonical_form());
    EXPECT_EQ(r.canonical_of(), one_step.canonical_of());
  }
}

TEST(ConcurrencyPoison, APanicUnderTheLockPoisonsOnlyThatStore) {
  GraphStore poisoned, healthy;
  Grower(poisoned, 0).add(20);
  Grower(healthy, 0).add(20);
  std::atomic<int> blocked_panics{0};
  std::vector<std::thread> waiters;
  auto wait = [&] {
    try {
      (void)poisoned.intern(NodeKey::Source("waiter"));
    } catch (const Panic& p) {
      blocked_panics += std::string_view(p.what()).starts_with(kStorePoisoned);
    }
  };
  try {
    StoreForTest::with_lock(poisoned, [&] {
      // Threads started while the lock is held reach the store after the panic.
      for (int t = 0; t < 6; ++t) waiters.emplace_back(wait);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      panic("broken invariant");
    });
    ADD_FAILURE() << "the panic did not propagate";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "broken invariant");
  }
  for (auto& w : waiters) w.join();
  EXPECT_EQ(blocked_panics.load(), 6);
  // Every later operation on the poisoned store panics, from any thread.
  std::thread([&] {
    const std::function<void()> ops[] = {
        [&] { (void)poisoned.node_count(); }, [&] { (void)poisoned.intern(NodeKey::Source("after")); },
        [&] { (void)poisoned.mark_output(NodeId(0)); }, [&] { (void)poisoned.snapshot(); },
        [&] { (void)poisoned.snapshot_from(NodeId(0)); }, [&] { (void)poisoned.outputs(); },
        [&] { (void)poisoned.node_map(); }, [&] { (void)poisoned.to_dot(); }, [&] { poisoned.set_node_map({}); },
        [&] { (void)serialize_with(poisoned, {}); }, [&] { (void)reduce_with(poisoned, engine(), false); }};
    for (const auto& op : ops) {
      try {
        op();
        ADD_FAILURE() << "an operation on a poisoned store succeeded";
      } catch (const Panic& p) {
        EXPECT_TRUE(std::string_view(p.what()).starts_with("velmora-core store mutex poisoned")) << p.what();
      }
    }
  }).join();
  // The other store is untouched. (Errors that callers cause are values, not
  // unwinding, and poison nothing: the readers above meet them all along.)
  EXPECT_EQ(healthy.node_count(), 22u);
  EXPECT_GT(reduce_with_outputs(healthy, ids(21), engine(), false).value().report.reduced_nodes, 0u);
}

}  // namespace
}  // namespace velmora
