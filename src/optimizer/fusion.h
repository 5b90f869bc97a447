// Stage fusion: partitions the element-wise ops of a canonical, duplicate-free
// graph into Stage nodes; every other node is opaque and carried through as
// itself with its inputs redirected.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "node/node.h"
#include "optimizer/engine/engine.h"
#include "store/store.h"

namespace velmora {

// Op text -> the first kept node with that text, used to rebuild opaque nodes.
// The texts are borrowed from the caller's working lists, the nodes are views.
using TokenTemplates = absl::flat_hash_map<std::string_view, NodeView>;

struct Fused {
  std::vector<NodeKey> nodes;  // reduced graph, topological
  std::vector<NodeId> outputs;  // one per requested output, in order
  std::vector<Placement> placement;  // one per node of the fused graph
  uint64_t stages = 0;
  uint64_t boundary_nodes = 0;
};

// `graph` is topological and duplicate-free; every opaque node's op text has a
// template. `maximal_fusion` picks the maximal rule over the single-use one.
[[nodiscard]] Fused stage_fusion(const EngineGraph& graph, const TokenTemplates& templates,
                                 bool maximal_fusion);

}  // namespace velmora
