#include "optimizer/pipeline.h"

#include <chrono>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "absl/container/flat_hash_set.h"
#include "absl/hash/hash.h"
#include "base/panic.h"
#include "optimizer/fusion.h"

namespace velmora {
namespace {

constexpr uint64_t kDropped = std::numeric_limits<uint64_t>::max();

void append_counted(std::string& out, std::string_view s) {
  out += std::to_string(s.size());
  out += ':';
  out += s;
}

// The text a node is known by inside the pipeline: its token, except where the
// token does not determine the node up to its inputs. A Stage's token shows
// only its member count and an External's joins raw descriptor fields with
// "|" (and writes an absent preprocessing_ref like a "-" one), so two distinct
// nodes could share a token and be merged or rebuilt from the wrong template.
// Those two get a length-prefixed text of their whole key; it still starts
// with their kind's prefix, so it never reads as an "op|" token.
std::string pipeline_symbol(const NodeView& node) {
  switch (node.kind()) {
    case NodeKey::Kind::kStage: {
      std::string s = "stage|" + std::to_string(node.member_count());
      node.for_each_member([&s](const MemberView& m) {
        s += '|';
        append_counted(s, m.op);
        s += ':';
        for (uint32_t r = 0; r < m.argc; ++r) {
          if (r > 0) s += ',';
          const StageRef ref = m.ref(r);
          s += ref.kind == StageRef::Kind::kInput ? 'i' : 'm';
          s += std::to_string(ref.index);
        }
      });
      return s;
    }
    case NodeKey::Kind::kExternal: {
      const DescriptorView d = node.descriptor();
      std::string s = "ext|";
      for (std::string_view field : {d.kind, d.content_hash, d.framework, d.version, d.io_schema}) {
        append_counted(s, field);
      }
      if (d.preprocessing_ref) {
        s += '+';
        append_counted(s, *d.preprocessing_ref);
      } else {
        s += '-';
      }
      const ParamsView params = node.params();
      if (!params.empty()) {
        s += '|';
        params.append_token(s);
      }
      return s;
    }
    default:
      return node.token();
  }
}

struct Kept {
  std::vector<uint64_t> index;  // input id -> kept index, or kDropped
  EngineGraph graph;
  TokenTemplates templates;
};

// Dead-code elimination, token templates and the engine graph in one pass
// over the live nodes. Templates point at the input nodes: fusion replaces
// their inputs anyway.
void dead_code_elimination(const NodesView& nodes, const std::vector<NodeId>& outputs,
                           Kept& kept) {
  const uint64_t n = nodes.size();
  std::vector<bool> live(n, false);
  std::vector<NodeId> stack(outputs.begin(), outputs.end());
  while (!stack.empty()) {
    const NodeId id = stack.back();
    stack.pop_back();
    if (at(live, id)) continue;
    live[id] = true;
    for (NodeId input : nodes[id].inputs()) stack.push_back(input);
  }

  kept.index.assign(n, kDropped);
  uint64_t count = 0;
  for (uint64_t i = 0; i < n; ++i) count += live[i] ? 1 : 0;
  kept.graph.nodes.reserve(count);  // no reallocation: templates view these texts
  kept.templates.reserve(count);
  for (uint64_t i = 0; i < n; ++i) {
    if (!live[i]) continue;
    const NodeView key = nodes[i];
    kept.index[i] = kept.graph.nodes.size();
    EngineNode node;
    node.op = pipeline_symbol(key);
    node.opaque = !key.is_op();
    const auto inputs = key.inputs();
    node.children.reserve(inputs.size());
    for (NodeId input : inputs) node.children.push_back(kept.index[input]);
    kept.graph.nodes.push_back(std::move(node));
    kept.templates.try_emplace(std::string_view(kept.graph.nodes.back().op), key);
  }
  kept.graph.outputs.reserve(outputs.size());
  for (NodeId o : outputs) kept.graph.outputs.push_back(kept.index[o]);
}

// Structural duplicates of the engine's answer, by (op text, mapped children).
struct Deduplicated {
  EngineGraph graph;
  std::vector<uint64_t> index;  // canonical index -> deduplicated index
};

struct NodeRef {
  std::string_view op;
  std::span<const uint64_t> children;
  template <typename H>
  friend H AbslHashValue(H h, const NodeRef& r) {
    return H::combine(H::combine_contiguous(std::move(h), r.children.data(), r.children.size()),
                      r.op, r.children.size());
  }
};

struct DedupHash {
  using is_transparent = void;
  const std::vector<EngineNode>* nodes;
  std::size_t operator()(const NodeRef& r) const { return absl::Hash<NodeRef>{}(r); }
  std::size_t operator()(uint64_t i) const {
    const EngineNode& n = (*nodes)[i];
    return (*this)(NodeRef{n.op, n.children});
  }
};

struct DedupEq {
  using is_transparent = void;
  const std::vector<EngineNode>* nodes;
  static bool same(const NodeRef& r, const EngineNode& n) {
    return r.op == n.op && std::equal(r.children.begin(), r.children.end(), n.children.begin(),
                                      n.children.end());
  }
  bool operator()(uint64_t a, uint64_t b) const { return a == b; }
  bool operator()(const NodeRef& r, uint64_t i) const { return same(r, (*nodes)[i]); }
  bool operator()(uint64_t i, const NodeRef& r) const { return same(r, (*nodes)[i]); }
};

Deduplicated cse(EngineGraph canonical) {
  Deduplicated d;
  const uint64_t m = canonical.nodes.size();
  d.index.reserve(m);
  d.graph.nodes.reserve(m);
  absl::flat_hash_set<uint64_t, DedupHash, DedupEq> seen(m, DedupHash{&d.graph.nodes},
                                                         DedupEq{&d.graph.nodes});
  for (uint64_t i = 0; i < m; ++i) {
    EngineNode& node = canonical.nodes[i];
    for (uint64_t& c : node.children) {
      if (c >= i) panic("canonical graph references only earlier nodes");
      c = d.index[c];
    }
    auto it = seen.find(NodeRef{node.op, node.children});
    if (it != seen.end()) {
      d.index.push_back(*it);
      continue;
    }
    const uint64_t fresh = d.graph.nodes.size();
    d.graph.nodes.push_back(std::move(node));
    seen.insert(fresh);
    d.index.push_back(fresh);
  }
  d.graph.outputs.reserve(canonical.outputs.size());
  for (uint64_t o : canonical.outputs) d.graph.outputs.push_back(at(d.index, o));
  return d;
}


// Adds the seconds since the last lap to one field of `times`, when given.
class Laps {
 public:
  explicit Laps(ReductionTimes* times) : times_(times), last_(Clock::now()) {}
  void lap(double ReductionTimes::*field) {
    if (times_ == nullptr) return;
    const auto now = Clock::now();
    times_->*field += std::chrono::duration<double>(now - last_).count();
    last_ = now;
  }

 private:
  using Clock = std::chrono::steady_clock;
  ReductionTimes* times_;
  Clock::time_point last_;
};

}  // namespace

Reduced reduce_with_mode(const NodesView& nodes, const std::vector<NodeId>& outputs,
                         const RewriteEngine& engine, bool maximal_fusion, ReductionTimes* times) {
  if (nodes.first_id() != 0) panic("a reduction starts at the first node");
  Laps laps(times);
  Kept kept;
  dead_code_elimination(nodes, outputs, kept);
  laps.lap(&ReductionTimes::dead_code);
  Reduced reduced;
  reduced.report.input_nodes = nodes.size();
  reduced.report.reachable_nodes = kept.graph.nodes.size();

  Canonical canonical = engine.canonicalize(kept.graph);
  if (canonical.canonical_index.size() != kept.graph.nodes.size()) {
    panic("rewrite engine returned one canonical index per node");
  }
  laps.lap(&ReductionTimes::engine_build);
  if (times != nullptr) {
    times->engine_build -= canonical.saturate_seconds;
    times->saturation += canonical.saturate_seconds;
  }
  Deduplicated dedup = cse(std::move(canonical.graph));
  reduced.report.canonical_nodes = dedup.graph.nodes.size();
  laps.lap(&ReductionTimes::duplicates);

  Fused fused = stage_fusion(dedup.graph, kept.templates, maximal_fusion);
  reduced.report.stages = fused.stages;
  reduced.report.boundary_nodes = fused.boundary_nodes;
  reduced.report.reduced_nodes = fused.nodes.size();

  reduced.node_map.resize(nodes.size());
  for (uint64_t i = 0; i < nodes.size(); ++i) {
    const uint64_t k = kept.index[i];
    if (k == kDropped) continue;
    reduced.node_map[i] = at(fused.placement, at(dedup.index, at(canonical.canonical_index, k)));
  }
  reduced.nodes = std::move(fused.nodes);
  reduced.outputs = std::move(fused.outputs);
  laps.lap(&ReductionTimes::fusion);
  return reduced;
}

ReducedStore reduce_with(const GraphStore& store, const RewriteEngine& engine,
                         bool maximal_fusion) {
  Snapshot snap = store.snapshot();
  return from_reduced(reduce_with_mode(snap.nodes, snap.outputs, engine, maximal_fusion));
}

Result<ReducedStore, BadNodeId> reduce_with_outputs(const GraphStore& store,
                                                    const std::vector<NodeId>& outputs,
                                                    const RewriteEngine& engine,
                                                    bool maximal_fusion, ReductionTimes* times) {
  Laps laps(times);
  const NodesView nodes = store.snapshot_from(0);
  for (NodeId o : outputs) {
    if (o >= nodes.size()) return Err(BadNodeId{o});
  }
  laps.lap(&ReductionTimes::view);
  return from_reduced(reduce_with_mode(nodes, outputs, engine, maximal_fusion, times), times);
}

ReducedStore from_reduced(Reduced reduced, ReductionTimes* times) {
  Laps laps(times);
  auto store = std::make_unique<GraphStore>();
  store->reserve(reduced.nodes.size());
  std::vector<NodeId> ids;
  ids.reserve(reduced.nodes.size());
  for (NodeKey& node : reduced.nodes) {
    Inputs inputs;
    const auto old = node.inputs();
    inputs.reserve(old.size());
    for (NodeId r : old) inputs.push_back(at(ids, r));
    auto id = store->intern(std::move(node).with_inputs(std::move(inputs)));
    if (!id.ok()) panic("reduced graph references only earlier nodes");
    ids.push_back(*id);
  }
  for (NodeId o : reduced.outputs) {
    if (!store->mark_output(at(ids, o)).ok()) panic("reduced output is valid");
  }
  for (auto& entry : reduced.node_map) {
    if (entry) entry->node = at(ids, entry->node);
  }
  store->set_node_map(std::move(reduced.node_map));
  laps.lap(&ReductionTimes::new_store);
  return ReducedStore{std::move(store), reduced.report};
}

}  // namespace velmora
