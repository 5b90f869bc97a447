// Stage fusion: partitions the element-wise ops of a canonical, duplicate-free
// graph into Stage nodes; every other node is opaque and carried through as
// itself with its inputs redirected. The result is interned straight into a
// new store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "node/node.h"
#include "optimizer/engine/engine.h"
#include "store/store.h"

namespace velmora {

// Template id -> the first kept node with that template, used to rebuild
// opaque nodes. Kept as the node's position in the input's view, one word a
// template: a graph may have as many templates as nodes.
class TokenTemplates {
 public:
  TokenTemplates() = default;
  explicit TokenTemplates(const NodesView& nodes) : nodes_(nodes) {}

  [[nodiscard]] std::size_t size() const { return first_.size(); }
  [[nodiscard]] NodeView operator[](std::size_t t) const { return nodes_[first_[t]]; }
  void reserve(std::size_t n) { first_.reserve(n); }
  // Adds the template of node `position` of the view; positions are below
  // 2^32 - 1, as every reduction's.
  void push_back(uint64_t position) { first_.push_back(static_cast<uint32_t>(position)); }

 private:
  NodesView nodes_;
  std::vector<uint32_t> first_;
};

struct Fused {
  std::unique_ptr<GraphStore> store;  // the reduced graph, without marks
  NodesView nodes;  // the store's nodes
  std::vector<NodeId> outputs;  // store ids, one per requested output, in order
  PackedNodeMap placement;  // one per node of the fused graph, by store id
  uint64_t stages = 0;
  uint64_t boundary_nodes = 0;
  // Stages and boundary nodes emitted; a carried Stage equal to a fused one
  // shares its node, so `store` can hold fewer.
  uint64_t emitted = 0;
};

// Fusion's tables index nodes with 32-bit words whose all-ones value means
// "none", so it takes fewer than 2^32 - 1 nodes; past that it panics.
void check_fusion_size(uint64_t nodes);

// `graph` is topological and duplicate-free; every opaque node's op text has a
// template. `maximal_fusion` picks the maximal rule over the single-use one.
// The graph is taken so that its arrays are freed as soon as fusion is done
// with them, before the placements are made.
[[nodiscard]] Fused stage_fusion(TemplateGraph graph, const TokenTemplates& templates,
                                 bool maximal_fusion);

}  // namespace velmora
