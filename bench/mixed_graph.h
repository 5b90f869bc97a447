// A synthetic recorded graph for the reduction benchmarks: repeated blocks of
// a source, an element-wise chain with fan-out, commuted duplicates, identity
// ops and a reduction, about ten nodes a block.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "node/node.h"

namespace velmora::bench {

struct MixedGraph {
  std::vector<NodeKey> nodes;  // topological; some keys repeat (a store interns them once)
  std::vector<NodeId> outputs;
};

inline ParamMap identity(double scalar, const char* side) {
  return ParamMap({{"scalar", ParamValue::Float(scalar)}, {"side", ParamValue::Str(side)}});
}

// Ids are positions in `nodes`; callers that intern get the same ids because
// every key of a block is new except where a duplicate is meant.
inline MixedGraph mixed_graph(uint64_t target_nodes) {
  MixedGraph g;
  g.nodes.reserve(target_nodes + 16);
  auto add = [&g](NodeKey k) {
    g.nodes.push_back(std::move(k));
    return static_cast<NodeId>(g.nodes.size() - 1);
  };
  int64_t block = 0;
  NodeId previous = 0;
  while (g.nodes.size() < target_nodes) {
    const NodeId src = add(NodeKey::Source("rows", ParamMap({{"part", ParamValue::Int(block)}})));
    const NodeId neg = add(NodeKey::Op("neg", {src}));
    const NodeId scaled =
        add(NodeKey::Op("mul", {neg}, ParamMap({{"scalar", ParamValue::Float(0.5)}})));
    const NodeId left = add(NodeKey::Op("add", {scaled, src}));
    const NodeId right = add(NodeKey::Op("add", {src, scaled}));  // commuted duplicate
    const NodeId same = add(NodeKey::Op("mul", {right}, identity(1.0, "r")));  // identity
    const NodeId fan_a = add(NodeKey::Op("exp", {left}));
    const NodeId fan_b = add(NodeKey::Op("log", {left}));
    const NodeId both = add(NodeKey::Op("maximum", {fan_a, same}));
    const NodeId joined = add(NodeKey::Op("minimum", {both, fan_b}));
    const NodeId red = add(NodeKey::Reduction("sum", {joined}, ParamMap({{"axis", ParamValue::Int(0)}})));
    if (block > 0) add(NodeKey::Op("add", {red, previous}, identity(0.0, "l")));  // identity
    g.outputs.push_back(red);
    if (block % 64 == 0) add(NodeKey::Op("sub", {red, src}));  // dead
    previous = red;
    ++block;
  }
  return g;
}

inline double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace velmora::bench
