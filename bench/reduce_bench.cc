// Reduction throughput and memory on the mixed graph (see mixed_graph.h) and
// on a single-use chain.
//
// Usage: reduce_bench [rounds [graph [nodes]]]   (default 3 rounds, every graph)
// With a graph (mixed, chain or params) and its size (default 1M), measures
// only that one, for profilers.
// Prints, for the mixed graph at 10k, 100k and 1M nodes, the 1M chain and the
// 1M chain whose every node has its own params: the
// best `reduce_with_outputs` time (view, pipeline, new store), nodes/s, the
// store's own size (resident growth while recording it), the most resident
// memory one reduction adds on top of it, what its result (the reduced store
// with its node map) keeps and the minor page faults it took; then the 100k -> 1M time growth.
// Beside the store and the result, "cached" is how much of that resident
// memory is big blocks kept for reuse (marked free, reclaimable);
// then the 1M mixed graph reduced with every node an output (1M marks to make
// in the new store) beside the same graph against its one output.
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "base/panic.h"
#include "mixed_graph.h"
#include "optimizer/pipeline.h"

using velmora::bench::record_chain;
using velmora::bench::record_mixed_graph;
using velmora::bench::record_params_chain;
using velmora::bench::seconds_since;

namespace {

long resident_bytes() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// The kB figure a /proc file gives on its line starting with `field`, in bytes.
long proc_bytes(const char* path, const std::string& field) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + field.size()) * 1024;
  }
  return 0;
}

// The kernel's high-water mark of resident memory, which `reset_peak` lowers
// to the current size (so it brackets one call).
long peak_bytes() { return proc_bytes("/proc/self/status", "VmHWM:"); }
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Resident pages marked free but not yet reclaimed: the big blocks this
// thread keeps cached for reuse, which resident memory counts.
long lazy_free_bytes() { return proc_bytes("/proc/self/smaps_rollup", "LazyFree:"); }

long minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

struct Timing {
  uint64_t nodes = 0;
  double seconds = 1e30;  // best round
  long store_bytes = 0;
  long reduce_peak = 0;  // resident memory the first reduction added at most
  long result_bytes = 0;  // resident memory its result (store and node map) holds
  long store_cached = 0;  // of store_bytes, and of result_bytes, what the block cache held
  long result_cached = 0;
  long faults = 0;  // minor page faults the first reduction took
  velmora::ReductionTimes split;  // of the best round
};

// `every_output`: every node is an output of the reduction, not just the
// recorded graph's sink.
template <typename Record>
Timing measure(Record&& record, int rounds, bool every_output = false) {
  malloc_trim(0);
  Timing t;
  const long before = resident_bytes();
  velmora::GraphStore store;
  const velmora::NodeId out = record([&store](velmora::NodeKey key) {
    auto id = store.intern(std::move(key));
    if (!id) velmora::panic("the bench graph refers only to earlier nodes");
    return *id;
  });
  t.nodes = store.node_count();
  t.store_bytes = resident_bytes() - before;
  t.store_cached = lazy_free_bytes();
  std::vector<velmora::NodeId> outputs{out};
  if (every_output) {
    outputs.resize(t.nodes);
    for (uint64_t i = 0; i < t.nodes; ++i) outputs[i] = velmora::NodeId(i);
  }
  const auto engine = velmora::EggEngine::make_default();
  for (int r = 0; r < rounds; ++r) {
    malloc_trim(0);
    const long base = resident_bytes();
    reset_peak();
    const long faults_before = minor_faults();
    velmora::ReductionTimes split;
    const auto t0 = std::chrono::steady_clock::now();
    auto reduced = velmora::reduce_with_outputs(store, outputs, engine, false, &split);
    const double seconds = seconds_since(t0);
    if (seconds < t.seconds) {
      t.seconds = seconds;
      t.split = split;
    }
    if (!reduced) velmora::panic("the output is in the store");
    if (r == 0) {
      t.faults = minor_faults() - faults_before;
      t.reduce_peak = peak_bytes() - base;
      malloc_trim(0);  // what the result holds, not what the heap kept
      t.result_bytes = resident_bytes() - base;
      t.result_cached = lazy_free_bytes() - t.store_cached;
    }
  }
  return t;
}

void print(const char* what, const Timing& t) {
  std::printf("%-12s %9llu %10.4f %12.0f %11.1f %7.1f %11.1f %8.2f %11.1f %7.1f %8ld\n", what,
              static_cast<unsigned long long>(t.nodes), t.seconds,
              static_cast<double>(t.nodes) / t.seconds, t.store_bytes / 1e6, t.store_cached / 1e6,
              t.reduce_peak / 1e6, static_cast<double>(t.reduce_peak) / t.store_bytes,
              t.result_bytes / 1e6, t.result_cached / 1e6, t.faults);
}

void print_header() {
  std::printf("%-12s %9s %10s %12s %11s %7s %11s %8s %11s %7s %8s\n", "graph", "nodes", "reduce s",
              "nodes/s", "store MB", "cached", "peak+ MB", "peak/st", "result MB", "cached", "faults");
}

int usage() {
  std::fprintf(stderr, "usage: reduce_bench [rounds>0 [mixed|chain|params [nodes>1]]]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  if (rounds <= 0) return usage();
  if (argc > 2) {
    const std::string graph = argv[2];
    const long long size = argc > 3 ? std::atoll(argv[3]) : 1'000'000;
    if (size <= 1 || argc > 4) return usage();
    const auto n = static_cast<uint64_t>(size);
    Timing t;
    if (graph == "mixed") {
      t = measure([n](auto&& add) { return record_mixed_graph(n, add); }, rounds);
    } else if (graph == "chain") {
      t = measure([n](auto&& add) { return record_chain(n, add); }, rounds);
    } else if (graph == "params") {
      t = measure([n](auto&& add) { return record_params_chain(n, add); }, rounds);
    } else {
      return usage();
    }
    print_header();
    print((graph + " " + std::to_string(n / 1000) + "k").c_str(), t);
    return 0;
  }
  print_header();
  Timing small, large;
  for (uint64_t size : {1'000'000ULL, 100'000ULL, 10'000ULL}) {
    const Timing t = measure([size](auto&& add) { return record_mixed_graph(size, add); }, rounds);
    const std::string name = "mixed " + std::to_string(size / 1000) + "k";
    print(name.c_str(), t);
    if (size == 100'000) small = t;
    if (size == 1'000'000) large = t;
  }
  print("chain 1000k",
        measure([](auto&& add) { return record_chain(1'000'000, add); }, rounds));
  print("params 1000k",
        measure([](auto&& add) { return record_params_chain(1'000'000, add); }, rounds));
  std::printf("growth 100k -> 1M: %.2fx time for %.2fx nodes\n", large.seconds / small.seconds,
              static_cast<double>(large.nodes) / static_cast<double>(small.nodes));
  const Timing marked = measure(
      [](auto&& add) { return record_mixed_graph(1'000'000, add); }, rounds, true);
  std::printf("mixed 1000k with every node an output: %.4f s against %.4f s with one output "
              "(%.1f us a mark)\n",
              marked.seconds, large.seconds, (marked.seconds - large.seconds) / 1e-6 / marked.nodes);
  // Both splits, so that a step that grows faster than the graph shows.
  for (const Timing* t : {&small, &large}) {
    const velmora::ReductionTimes& s = t->split;
    std::printf("mixed %lluk split (s): view %.4f, dead code %.4f, engine build %.4f, saturation "
                "%.4f, duplicates %.4f, fusion %.4f, new store %.4f\n",
                static_cast<unsigned long long>(t == &small ? 100 : 1000), s.view, s.dead_code,
                s.engine_build, s.saturation, s.duplicates, s.fusion, s.new_store);
  }
  return 0;
}
