// Reduction throughput on a mixed recorded graph, and how it grows with size.
// Prints nodes per second for each size and the time ratio of the largest to
// the one ten times smaller (linear growth gives about 10), and the page faults
// of one reduction: the fresh memory it touches, which costs dearly on a VM.
#include <cstdio>
#include <cstdlib>

#include <sys/resource.h>

#include "mixed_graph.h"
#include "optimizer/pipeline.h"

using velmora::bench::mixed_graph;
using velmora::bench::seconds_since;

namespace {

struct Timing {
  double snapshot_reduce = 0;  // reduce_with_outputs: copy, pipeline, new store
  double pipeline = 0;  // reduce_with_mode alone
  uint64_t nodes = 0;
  long faults = 0;  // page faults of one reduce_with_outputs (fresh memory touched)
};

long minor_faults() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_minflt;
}

Timing measure(uint64_t size, int rounds) {
  auto graph = mixed_graph(size);
  velmora::GraphStore store;
  for (auto& k : graph.nodes) (void)store.intern(k);
  const auto engine = velmora::EggEngine::make_default();
  Timing best{1e30, 1e30, store.node_count(), 0};
  const auto nodes = store.snapshot().nodes;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    auto reduced = velmora::reduce_with_mode(nodes, graph.outputs, engine, false);
    best.pipeline = std::min(best.pipeline, seconds_since(t0));
    const long f0 = minor_faults();
    t0 = std::chrono::steady_clock::now();
    auto full = velmora::reduce_with_outputs(store, graph.outputs, engine, false);
    best.snapshot_reduce = std::min(best.snapshot_reduce, seconds_since(t0));
    best.faults = minor_faults() - f0;
    if (r == 0 && size == 1'000'000) {
      const auto& rep = full->report;
      std::printf("report: input %llu reachable %llu canonical %llu stages %llu reduced %llu "
                  "boundary %llu\n",
                  static_cast<unsigned long long>(rep.input_nodes),
                  static_cast<unsigned long long>(rep.reachable_nodes),
                  static_cast<unsigned long long>(rep.canonical_nodes),
                  static_cast<unsigned long long>(rep.stages),
                  static_cast<unsigned long long>(rep.reduced_nodes),
                  static_cast<unsigned long long>(rep.boundary_nodes));
    }
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  std::printf("%10s %14s %14s %14s %14s\n", "nodes", "pipeline s", "reduce s", "reduce nodes/s",
              "page faults");
  Timing small{}, large{};
  for (uint64_t size : {10'000ULL, 100'000ULL, 1'000'000ULL}) {
    Timing t = measure(size, rounds);
    std::printf("%10llu %14.4f %14.4f %14.0f %14ld\n", static_cast<unsigned long long>(t.nodes),
                t.pipeline, t.snapshot_reduce, static_cast<double>(t.nodes) / t.snapshot_reduce,
                t.faults);
    if (size == 100'000) small = t;
    if (size == 1'000'000) large = t;
  }
  std::printf("growth 100k -> 1M: %.2fx time for %.2fx nodes\n",
              large.snapshot_reduce / small.snapshot_reduce,
              static_cast<double>(large.nodes) / static_cast<double>(small.nodes));
  return 0;
}
