// Reductions and incremental reducers reading one store while other threads
// grow it, and reductions of a poisoned store. Also run under ThreadSanitizer.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/panic.h"
#include "node/node.h"
#include "optimizer/engine/engine.h"
#include "optimizer/incremental/incremental.h"
#include "optimizer/pipeline.h"
#include "param/param.h"
#include "store/store.h"
#include "threads.h"

namespace velmora {
namespace {

using test_support::intern_ok;
using test_support::run_threads;

constexpr int kThreads = 6;

ParamMap identity_mul() {
  return ParamMap({{"scalar", ParamValue::Float(1.0)}, {"side", ParamValue::Str("r")}});
}

// A writer that grows the store with sources, ops over its own earlier nodes,
// commuted duplicates and identity ops, so reductions have real work to do.
class Grower {
 public:
  Grower(GraphStore& store, int writer)
      : store_(store), rng_(static_cast<uint32_t>(writer) * 7919u + 1u) {
    mine_ = {intern_ok(store, NodeKey::Source("x" + std::to_string(writer))),
             intern_ok(store, NodeKey::Source("shared"))};
  }

  void add(int count) {
    for (int i = 0; i < count; ++i, ++added_) {
      const NodeId a = mine_[rng_() % mine_.size()];
      const NodeId b = mine_[rng_() % mine_.size()];
      switch (added_ % 4) {
        case 0: mine_.push_back(intern_ok(store_, NodeKey::Op("add", {a, b}))); break;
        case 1: mine_.push_back(intern_ok(store_, NodeKey::Op("add", {b, a}))); break;
        case 2: mine_.push_back(intern_ok(store_, NodeKey::Op("mul", {a}, identity_mul()))); break;
        default: mine_.push_back(intern_ok(store_, NodeKey::Op("neg", {a}))); break;
      }
    }
  }

 private:
  GraphStore& store_;
  std::mt19937 rng_;
  std::vector<NodeId> mine_;
  int added_ = 0;
};

// Writers add nodes in chunks until every reader has done `min_reads` reads
// while the store was still growing (or a size cap is hit), so the reads
// really overlap the writes, on a fast machine and under a sanitizer alike.
void write_until_read(GraphStore& store, int writer, const std::atomic<int>& reads,
                      int min_reads) {
  constexpr int kChunk = 25;
  constexpr int kMaxChunks = 80;
  Grower g(store, writer);
  for (int c = 0; c < kMaxChunks && reads.load() < min_reads; ++c) {
    g.add(kChunk);
    // Give the readers a moment to finish a read before the next chunk.
    const int seen = reads.load();
    for (int spin = 0; spin < 2000 && reads.load() == seen; ++spin) std::this_thread::yield();
  }
  g.add(kChunk);  // at least one chunk after the last counted read
}

TEST(ConcurrencyReduce, ReductionsWhileOthersInternSeeConsistentPrefixes) {
  constexpr int kWriters = 3;
  constexpr int kReaders = 3;
  constexpr int kReadsEach = 4;
  GraphStore store;
  const EggEngine engine = EggEngine::make_default();
  std::atomic<int> writers_left{kWriters};
  std::atomic<int> reads{0};

  struct Observed {
    NodeId output;
    std::size_t copied;  // nodes the reduction saw
    ReductionReport report;
    std::vector<NodeKey> reduced;  // copies: the reduced store is gone by the check
    std::vector<NodeId> reduced_outputs;
    NodeMap node_map;
  };
  std::vector<std::vector<Observed>> observed(kReaders);

  run_threads(kWriters + kReaders, [&](int t) {
    if (t < kWriters) {
      write_until_read(store, t, reads, kReaders * kReadsEach);
      writers_left.fetch_sub(1);
      return;
    }
    const int reader = t - kWriters;
    while (store.node_count() == 0) std::this_thread::yield();
    do {
      const uint64_t n = store.node_count();
      const NodeId output = n - 1;
      auto reduced = reduce_with_outputs(store, {output}, engine, false);
      ASSERT_TRUE(reduced.ok());
      const ReducedStore& r = *reduced;
      ASSERT_GE(r.report.input_nodes, n);
      ASSERT_EQ(r.store->node_map().size(), r.report.input_nodes);
      observed[reader].push_back(Observed{output, static_cast<std::size_t>(r.report.input_nodes),
                                          r.report, r.store->snapshot().nodes.keys(),
                                          r.store->outputs(), r.store->node_map()});
      if (writers_left.load() > 0) reads.fetch_add(1);
    } while (writers_left.load() > 0);
  });

  // A reduction taken while the store grew equals the same reduction of the
  // finished store: later nodes are never reachable from an earlier output.
  ASSERT_EQ(store.node_count(), store.snapshot().nodes.size());
  std::size_t checked = 0;
  for (const auto& per_reader : observed) {
    for (const Observed& o : per_reader) {
      auto again = reduce_with_outputs(store, {o.output}, engine, false);
      ASSERT_TRUE(again.ok());
      ReductionReport expected = again->report;
      expected.input_nodes = o.copied;
      EXPECT_EQ(o.report, expected) << "output " << o.output;
      const Snapshot now = again->store->snapshot();
      EXPECT_TRUE(now.nodes == o.reduced) << "output " << o.output;
      EXPECT_EQ(o.reduced_outputs, now.outputs);
      NodeMap map = again->store->node_map();
      ASSERT_GE(map.size(), o.node_map.size());
      for (std::size_t i = o.node_map.size(); i < map.size(); ++i) EXPECT_FALSE(map[i].has_value());
      map.resize(o.node_map.size());
      EXPECT_EQ(o.node_map, map);
      ++checked;
    }
  }
  EXPECT_GE(checked, std::size_t{kReaders});
}

TEST(ConcurrencyIncremental, TwoReducersFedFromOneGrowingStore) {
  constexpr int kWriters = 2;
  constexpr int kStepsEach = 5;
  GraphStore store;
  std::atomic<int> writers_left{kWriters};
  std::atomic<int> growing_steps{0};
  IncrementalReducer reducers[2];

  run_threads(kWriters + 2, [&](int t) {
    if (t < kWriters) {
      write_until_read(store, t, growing_steps, 2 * kStepsEach);
      writers_left.fetch_sub(1);
      return;
    }
    IncrementalReducer& r = reducers[t - kWriters];
    bool last = false;
    do {
      last = writers_left.load() == 0;  // one more step after the writers stop
      const uint64_t before = r.watermark();
      auto consumed = r.step(store.snapshot_from(before));
      ASSERT_TRUE(consumed.ok()) << "bad id " << consumed.error().id;
      ASSERT_EQ(r.watermark(), before + *consumed);
      ASSERT_EQ(r.total_work(), r.watermark());
      if (!last && *consumed > 0) growing_steps.fetch_add(1);
    } while (!last);
  });

  const uint64_t n = store.node_count();
  IncrementalReducer one_step;
  ASSERT_TRUE(one_step.step(store.snapshot_from(0)).ok());
  for (const IncrementalReducer& r : reducers) {
    EXPECT_EQ(r.watermark(), n);
    EXPECT_EQ(r.total_work(), n);
    // However the deltas were cut, the canonical form is the one of a single step.
    EXPECT_TRUE(r.canonical_form() == one_step.canonical_form());
    EXPECT_EQ(r.canonical_of(), one_step.canonical_of());
  }
  EXPECT_LT(one_step.canonical_count(), n);  // the commuted and identity ops merged

  const EggEngine engine = EggEngine::make_default();
  const std::vector<NodeId> outputs{n - 1, 0, n - 1};
  auto a = reducers[0].finalize(outputs, engine, false);
  auto b = reducers[1].finalize(outputs, engine, false);
  ASSERT_TRUE(a.ok());
  ASSERT_TRUE(b.ok());
  EXPECT_TRUE(a->nodes == b->nodes);
  EXPECT_EQ(a->outputs, b->outputs);
  EXPECT_EQ(a->node_map, b->node_map);
  EXPECT_EQ(a->report, b->report);
  EXPECT_EQ(a->node_map.size(), n);
}

TEST(ConcurrencyPoison, ReductionsOfAPoisonedStorePanicAndOthersStillReduce) {
  GraphStore poisoned;
  GraphStore healthy;
  Grower(poisoned, 0).add(20);
  Grower(healthy, 0).add(20);
  try {
    poisoned.with_lock_for_test([] { panic("broken invariant"); });
  } catch (const Panic&) {
  }
  const EggEngine engine = EggEngine::make_default();
  const auto expect_poisoned = [](const auto& op) {
    try {
      op();
      ADD_FAILURE() << "reduction of a poisoned store succeeded";
    } catch (const Panic& p) {
      EXPECT_TRUE(std::string_view(p.what()).starts_with(kStorePoisoned)) << p.what();
    }
  };
  std::thread([&] {
    expect_poisoned([&] { (void)reduce_with_outputs(poisoned, {0}, engine, false); });
    expect_poisoned([&] { (void)reduce_with(poisoned, engine, true); });
  }).join();

  const NodeId last = healthy.node_count() - 1;
  std::vector<ReductionReport> reports(kThreads);
  run_threads(kThreads, [&](int t) {
    auto r = reduce_with_outputs(healthy, {last}, engine, false);
    ASSERT_TRUE(r.ok());
    reports[t] = r->report;
  });
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(reports[t], reports[0]);
  EXPECT_EQ(reports[0].input_nodes, healthy.node_count());
}

}  // namespace
}  // namespace velmora
