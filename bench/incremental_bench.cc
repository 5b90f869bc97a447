// Incremental reduction: feeds one million-node store in 1, 10 and 1000 steps
// (the total step time should stay flat, since each step costs its delta),
// then compares finalize over the canonical form with a one-shot reduction of
// the whole store.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "mixed_graph.h"
#include "optimizer/incremental/incremental.h"

using velmora::bench::mixed_graph;
using velmora::bench::seconds_since;

int main(int argc, char** argv) {
  const uint64_t size = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  auto graph = mixed_graph(size);
  velmora::GraphStore store;
  for (auto& k : graph.nodes) (void)store.intern(k);
  const uint64_t n = store.node_count();
  std::printf("store: %llu nodes\n", static_cast<unsigned long long>(n));
  std::printf("%8s %14s %14s %12s\n", "steps", "step total s", "nodes/s", "canonical");

  // Best of two rounds: the first round also pays for the allocator's first
  // use of fresh memory, which would count against whichever case runs first.
  velmora::IncrementalReducer last;
  (void)last.step(store.snapshot_from(velmora::NodeId(0)));
  for (uint64_t steps : {1ULL, 10ULL, 1000ULL}) {
    double best = 1e30;
    uint64_t canonical = 0;
    for (int round = 0; round < 2; ++round) {
      // Record the graph chunk by chunk and step after each chunk, as an owner
      // reducing while building does; only step() is timed.
      velmora::GraphStore growing;
      velmora::IncrementalReducer reducer;
      double total = 0;
      const uint64_t chunk = (graph.nodes.size() + steps - 1) / steps;
      for (uint64_t first = 0; first < graph.nodes.size(); first += chunk) {
        const uint64_t end = std::min<uint64_t>(first + chunk, graph.nodes.size());
        for (uint64_t i = first; i < end; ++i) (void)growing.intern(graph.nodes[i]);
        auto delta = growing.snapshot_from(velmora::NodeId(reducer.watermark()));
        auto t0 = std::chrono::steady_clock::now();
        (void)reducer.step(std::move(delta));
        total += seconds_since(t0);
      }
      best = std::min(best, total);
      canonical = reducer.canonical_count();
    }
    std::printf("%8llu %14.4f %14.0f %12llu\n", static_cast<unsigned long long>(steps), best,
                static_cast<double>(n) / best, static_cast<unsigned long long>(canonical));
  }

  const auto engine = velmora::EggEngine::make_default();
  auto t0 = std::chrono::steady_clock::now();
  auto fin = last.finalize(graph.outputs, engine, false);
  const double finalize_s = seconds_since(t0);
  t0 = std::chrono::steady_clock::now();
  auto whole = velmora::reduce_with_mode(store.snapshot().nodes, graph.outputs, engine, false);
  const double reduce_s = seconds_since(t0);
  std::printf("finalize over %llu canonical nodes: %.4f s; reduce over %llu nodes: %.4f s "
              "(%.2fx)\n",
              static_cast<unsigned long long>(last.canonical_count()), finalize_s,
              static_cast<unsigned long long>(n), reduce_s, reduce_s / finalize_s);
  std::printf("reduced nodes: finalize %llu, reduce %llu\n",
              static_cast<unsigned long long>(fin->report.reduced_nodes),
              static_cast<unsigned long long>(whole.report.reduced_nodes));
  return 0;
}
