// Synthetic recorded graphs for the benchmarks.
//
// The mixed graph looks like a real one rather than a chain: each op reads one
// input a short, geometrically distributed distance back and, when binary, a
// second one uniformly from everything recorded so far. About a tenth are
// identity ops (add of 0.0, mul of 1.0, either side), a tenth reductions, a few
// new sources, some commuted repeats of recent binary ops, and every sink feeds
// a final tree of 8-input `combine` ops, so the whole graph is live from its one
// output. bench/reduce_peer_bench.py draws the same graph from the same seed.
#pragma once

#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "node/node.h"

namespace velmora::bench {

// splitmix64: tiny, and easy to mirror exactly in Python.
class SplitMix {
 public:
  explicit SplitMix(uint64_t seed) : s_(seed) {}
  uint64_t next() {
    uint64_t z = (s_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  uint64_t below(uint64_t n) { return next() % n; }

 private:
  uint64_t s_;
};

inline ParamMap scalar_side(double scalar, const char* side) {
  return ParamMap({{"scalar", ParamValue::Float(scalar)}, {"side", ParamValue::Str(side)}});
}

// Records about `target_nodes` nodes (plus the combine tree) through `add`,
// which interns a key and returns its id; returns the one output.
template <typename Add>
NodeId record_mixed_graph(uint64_t target_nodes, Add&& add, uint64_t seed = 42) {
  static const char* const kUnary[] = {"neg", "exp", "log", "abs", "sqrt", "tanh"};
  static const char* const kBinary[] = {"add", "mul", "maximum", "minimum"};
  SplitMix rng(seed);
  std::vector<uint8_t> used;  // one flag per id: read by some later node
  uint64_t count = 0;
  auto put = [&](NodeKey key) {
    for (NodeId in : key.inputs()) used[in.value()] = 1;
    const NodeId id = add(std::move(key));
    if (id.value() == count) {
      ++count;
      used.push_back(0);
    }
    return id;
  };
  used.reserve(target_nodes + target_nodes / 7 + 8);
  auto near = [&]() -> NodeId {
    uint64_t gap = 1;
    while ((rng.next() & 3) != 0 && gap < 64) ++gap;
    return NodeId(gap >= count ? 0 : count - gap);
  };
  struct Pair {
    const char* name;
    NodeId a, b;
  };
  std::vector<Pair> recent;  // binary ops, for commuted repeats
  put(NodeKey::Source("rows", ParamMap({{"part", ParamValue::Int(0)}})));
  int64_t part = 1;
  while (count < target_nodes) {
    const uint64_t r = rng.below(100);
    if (r < 3) {
      put(NodeKey::Source("rows", ParamMap({{"part", ParamValue::Int(part++)}})));
    } else if (r < 13) {
      put(NodeKey::Reduction(r < 8 ? "sum" : "mean", {near()},
                             ParamMap({{"axis", ParamValue::Int(0)}})));
    } else if (r < 23) {
      const char* side = (r & 1) ? "l" : "r";
      put(r < 18 ? NodeKey::Op("add", {near()}, scalar_side(0.0, side))
                 : NodeKey::Op("mul", {near()}, scalar_side(1.0, side)));
    } else if (r < 45) {
      const char* name = kBinary[rng.below(4)];
      const NodeId a = near(), b(rng.below(count));
      put(NodeKey::Op(name, {a, b}));
      recent.push_back({name, a, b});
      if (recent.size() > 16) recent.erase(recent.begin());
    } else if (r < 50 && !recent.empty()) {
      const Pair& p = recent[rng.below(recent.size())];
      put(NodeKey::Op(p.name, {p.b, p.a}));
    } else if (r < 60) {
      const double k = static_cast<double>(rng.below(8) + 2);
      put(NodeKey::Op("mul", {near()}, ParamMap({{"scalar", ParamValue::Float(k)}})));
    } else {
      put(NodeKey::Op(kUnary[rng.below(6)], {near()}));
    }
  }
  std::vector<NodeId> level;
  for (uint64_t i = 0; i < count; ++i) {
    if (!used[i]) level.push_back(NodeId(i));
  }
  while (level.size() > 1) {
    std::vector<NodeId> next;
    for (size_t i = 0; i < level.size(); i += 8) {
      const size_t end = std::min(level.size(), i + 8);
      if (end - i == 1) {
        next.push_back(level[i]);
      } else {
        next.push_back(put(NodeKey::Op("combine", Inputs(level.begin() + i, level.begin() + end))));
      }
    }
    level = std::move(next);
  }
  return level.front();
}

// A source followed by a single-use chain of unary ops; returns its last node.
template <typename Add>
NodeId record_chain(uint64_t nodes, Add&& add) {
  static const char* const kUnary[] = {"neg", "exp", "abs"};
  NodeId last = add(NodeKey::Source("rows"));
  for (uint64_t i = 1; i < nodes; ++i) last = add(NodeKey::Op(kUnary[i % 3], {last}));
  return last;
}

// A source followed by a single-use chain whose every op has its own
// parameters (`scale` with k = i), so no two nodes share a template.
template <typename Add>
NodeId record_params_chain(uint64_t nodes, Add&& add) {
  NodeId last = add(NodeKey::Source("rows"));
  for (uint64_t i = 1; i < nodes; ++i) {
    last = add(NodeKey::Op("scale", {last},
                           ParamMap({{"k", ParamValue::Int(static_cast<int64_t>(i))},
                                     {"side", ParamValue::Str("r")}})));
  }
  return last;
}

struct MixedGraph {
  std::vector<NodeKey> nodes;  // distinct keys, topological: interning them gives ids 0, 1, ...
  std::vector<NodeId> outputs;
};

// The mixed graph as a key list, for benchmarks that feed a store themselves.
inline MixedGraph mixed_graph(uint64_t target_nodes, uint64_t seed = 42) {
  MixedGraph g;
  absl::flat_hash_map<NodeKey, NodeId> ids;
  const NodeId out = record_mixed_graph(
      target_nodes,
      [&](NodeKey key) {
        auto [it, fresh] = ids.try_emplace(key, NodeId(g.nodes.size()));
        if (fresh) g.nodes.push_back(std::move(key));
        return it->second;
      },
      seed);
  g.outputs.push_back(out);
  return g;
}

inline double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace velmora::bench
