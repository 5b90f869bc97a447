// The reduction pipeline: dead-code elimination, canonicalization by the
// rewrite engine, duplicate elimination and stage fusion, with a provenance map
// from every input node to where it landed and a six-count report.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "base/result.h"
#include "node/node.h"
#include "optimizer/engine/engine.h"
#include "store/store.h"

namespace velmora {

struct ReductionReport {
  uint64_t input_nodes = 0;
  uint64_t reachable_nodes = 0;
  uint64_t canonical_nodes = 0;
  uint64_t stages = 0;
  uint64_t reduced_nodes = 0;
  uint64_t boundary_nodes = 0;
  friend bool operator==(const ReductionReport&, const ReductionReport&) = default;
};

// Where one reduction's time went, in seconds (for benchmarks).
struct ReductionTimes {
  double view = 0;  // taking the snapshot and checking outputs
  double dead_code = 0;  // dead-code elimination and the engine graph
  double engine_build = 0;  // building the e-graph and reading its classes back
  double saturation = 0;
  double duplicates = 0;
  double fusion = 0;  // stage fusion, interning straight into the new store, and provenance
  double new_store = 0;  // marking the new store's outputs and handing it its provenance
};

struct Reduced {
  std::unique_ptr<GraphStore> store;  // the reduced graph, without marks or provenance
  NodesView nodes;  // the store's nodes
  std::vector<NodeId> outputs;  // one per requested output, duplicates kept
  PackedNodeMap node_map;  // one entry per input node
  ReductionReport report;
};

// Kept and canonical indices are 32-bit with the all-ones value for a dropped
// node, so a reduction takes fewer than 2^32 - 1 nodes and inputs in all;
// past either it panics.
void check_reduce_size(uint64_t nodes, uint64_t inputs);

// `nodes` is topological and every output is smaller than its length (callers
// check; a violation panics).
[[nodiscard]] Reduced reduce_with_mode(const NodesView& nodes,
                                       const std::vector<NodeId>& outputs,
                                       const RewriteEngine& engine, bool maximal_fusion,
                                       ReductionTimes* times = nullptr);

struct ReducedStore {
  std::unique_ptr<GraphStore> store;
  ReductionReport report;
};

// Reduces against the store's marks.
[[nodiscard]] ReducedStore reduce_with(const GraphStore& store, const RewriteEngine& engine,
                                       bool maximal_fusion);
// Reduces against exactly `outputs` (order and duplicates kept, marks ignored).
[[nodiscard]] Result<ReducedStore, BadNodeId> reduce_with_outputs(
    const GraphStore& store, const std::vector<NodeId>& outputs, const RewriteEngine& engine,
    bool maximal_fusion, ReductionTimes* times = nullptr);
// The reduced store, with its outputs marked and its provenance.
[[nodiscard]] ReducedStore from_reduced(Reduced reduced, ReductionTimes* times = nullptr);

}  // namespace velmora
