// Rewrite-engine throughput: canonicalize over mixed element-wise graphs
// (sources, commutative ops with commuted duplicates, identity ops, other
// ops) of 10k, 100k and 1M nodes. Prints nodes per second and the run's shape.
//
//   build/egraph_bench [sizes...]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <time.h>

#include "node/node.h"
#include "optimizer/egraph/runner.h"
#include "optimizer/engine/engine.h"

namespace {

using velmora::EngineGraph;

// CPU time of this thread: the machine is shared, so wall time alone
// overstates what the engine costs.
double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
using velmora::EngineNode;

EngineNode node(std::string op, std::vector<uint64_t> children = {}) {
  const bool opaque = !velmora::element_wise_text(op);
  return EngineNode{std::move(op), std::move(children), opaque};
}

EngineGraph mixed_graph(size_t size, uint64_t seed) {
  std::mt19937_64 rng(seed);
  EngineGraph g;
  auto& nodes = g.nodes;
  nodes.reserve(size);
  const char* identities[] = {"op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
                              "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
  const char* commutative[] = {"op|add", "op|mul", "op|maximum", "op|and"};
  const char* unary[] = {"op|neg", "op|exp", "op|mul|scalar=f4000000000000000;side=sr", "red|sum"};
  const size_t sources = std::max<size_t>(16, size / 100);
  for (size_t i = 0; i < sources && nodes.size() < size; ++i) nodes.push_back(node("src|s" + std::to_string(i)));
  while (nodes.size() < size) {
    // Mostly local wiring, like real element-wise chains.
    auto pick = [&] { return nodes.size() - 1 - rng() % std::min<size_t>(nodes.size(), 64); };
    const unsigned kind = rng() % 20;
    if (kind < 6) {
      nodes.push_back(node(commutative[rng() % 4], {pick(), pick()}));
    } else if (kind < 9) {
      const EngineNode& prev = nodes[pick()];
      if (prev.children.size() == 2 && prev.op.size() < 12) {
        nodes.push_back(node(prev.op, {prev.children[1], prev.children[0]}));
      } else {
        nodes.push_back(node("op|sub", {pick(), pick()}));
      }
    } else if (kind < 12) {
      nodes.push_back(node(identities[rng() % 4], {pick()}));
    } else if (kind < 16) {
      nodes.push_back(node(unary[rng() % 4], {pick()}));
    } else {
      nodes.push_back(node("op|sub", {pick(), pick()}));
    }
  }
  g.outputs.push_back(nodes.size() - 1);
  return g;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> sizes = {10'000, 100'000, 1'000'000};
  if (argc > 1) {
    sizes.clear();
    for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  }
  const velmora::EggEngine engine = velmora::EggEngine::make_default();
  std::printf("%10s %10s %10s %14s %10s %14s %10s %6s  %s\n", "nodes", "canonical", "wall s", "nodes/s (wall)",
              "cpu s", "nodes/s (cpu)", "e-nodes", "iters", "stop");
  for (size_t size : sizes) {
    const EngineGraph g = mixed_graph(size, 42);
    const int reps = size <= 10'000 ? 20 : size <= 100'000 ? 5 : 3;
    double best = 1e300;
    double best_cpu = 1e300;
    velmora::Canonical c;
    velmora::egraph::RunReport report;
    for (int r = 0; r < reps; ++r) {
      const double c0 = cpu_seconds();
      const auto t0 = std::chrono::steady_clock::now();
      c = engine.canonicalize_with(g, engine.limits_for(g.nodes.size()), &report);
      const auto t1 = std::chrono::steady_clock::now();
      best_cpu = std::min(best_cpu, cpu_seconds() - c0);
      best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    // The same without a saturation run: hash-consing the input and reading
    // the result back.
    double base_cpu = 1e300;
    velmora::egraph::RunLimits none = engine.limits_for(g.nodes.size());
    none.iter_limit = 0;
    for (int r = 0; r < reps; ++r) {
      const double c0 = cpu_seconds();
      (void)engine.canonicalize_with(g, none);
      base_cpu = std::min(base_cpu, cpu_seconds() - c0);
    }
    std::printf("%10s  without the run: cpu %.4f s\n", "", base_cpu);
    std::printf("%10zu %10zu %10.4f %14.0f %10.4f %14.0f %10zu %6zu  %s\n", size, c.graph.nodes.size(), best,
                size / best, best_cpu, size / best_cpu, report.nodes, report.iterations.size(), std::string(velmora::egraph::to_string(report.stop)).c_str());
  }
  return 0;
}
