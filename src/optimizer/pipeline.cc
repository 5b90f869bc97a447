#include "optimizer/pipeline.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "absl/container/inlined_vector.h"
#include "base/hash_key.h"
#include "base/id_index.h"
#include "base/panic.h"
#include "node/text.h"
#include "optimizer/fusion.h"

namespace velmora {
namespace {

// Kept and canonical indices are below the input's node count, and store ids
// are 32-bit, so the per-node index is half width.
constexpr uint32_t kDropped = std::numeric_limits<uint32_t>::max();

struct Kept {
  std::vector<uint32_t> index;  // input id -> kept index, or kDropped
  TemplateGraph graph;
  TokenTemplates templates;  // per template: its first kept node
};

// Node templates of one reduction, interned by what a node is apart from its
// inputs, so each distinct template's text is made once.
class TemplateTable {
 public:
  // The list has room for `nodes` templates, the most there can be; the
  // index grows with what it holds. Graphs have far fewer templates than
  // nodes, and an index sized for every node would spread those few over
  // more memory than the cache holds. Its slots hold each template's hash,
  // so a probe compares two templates only when their hashes agree.
  TemplateTable(Kept& kept, std::size_t nodes) : kept_(kept) { kept.templates.reserve(nodes); }

  TemplateId intern(const NodeView& node, uint64_t position) {
    const uint32_t hash = node.template_hash();
    const uint32_t found =
        index_.find(hash, [&](uint32_t t) { return node.same_template(kept_.templates[t]); });
    if (IdIndex::found(found)) return static_cast<TemplateId>(found);
    const auto id = static_cast<uint32_t>(kept_.templates.size());
    kept_.templates.push_back(position);
    kept_.graph.texts.add_with([&node](std::string& out) { node_text::append_template_text(node, out); });
    kept_.graph.opaque_templates.push_back(!kind_info(node.kind()).element_wise);
    // An op's token becomes a stage member's text in the new store, and can
    // be longer than the name it escapes: one the store cannot hold fails
    // the reduction here, before the engine hashes it.
    if (node.is_op()) (void)PreparedKey::as_word(kept_.graph.texts[id].size());
    index_.insert(hash, id);
    return static_cast<TemplateId>(id);
  }

 private:
  Kept& kept_;
  IdIndex index_;
};

// Dead-code elimination, node templates and the engine graph in one pass over
// the live nodes. Templates are views of the input nodes: fusion replaces
// their inputs anyway.
void dead_code_elimination(const NodesView& nodes, const std::vector<NodeId>& outputs,
                           Kept& kept) {
  const uint64_t n = nodes.size();
  check_reduce_size(n, 0);
  // Inputs precede their nodes, so one sweep from the last node down marks
  // everything live, reading the nodes in order rather than chasing them.
  std::vector<bool> live(n, false);
  for (NodeId o : outputs) at(live, o.value()) = true;
  uint64_t edges = 0;  // inputs of live nodes
  for (uint64_t i = n; i-- > 0;) {
    if (!live[i]) continue;
    const auto inputs = nodes[i].inputs();
    edges += inputs.size();
    for (NodeId input : inputs) {
      if (input.value() >= i) panic("a node's inputs precede it");
      live[input.value()] = true;
    }
  }
  check_reduce_size(n, edges);

  kept.index.assign(n, kDropped);
  kept.templates = TokenTemplates(nodes);
  uint64_t count = 0;
  for (uint64_t i = 0; i < n; ++i) count += live[i] ? 1 : 0;
  TemplateGraph& g = kept.graph;
  g.op.reserve(count);
  g.child_begin.reserve(count + 1);
  g.children.reserve(edges);
  TemplateTable templates(kept, count);
  constexpr uint64_t kAhead = 16;  // nodes whose inputs' entries load meanwhile
  for (uint64_t i = 0; i < n; ++i) {
    if (i + kAhead < n) {
      for (NodeId input : nodes[i + kAhead].inputs()) __builtin_prefetch(&kept.index[input.value()]);
    }
    if (!live[i]) continue;
    const NodeView node = nodes[i];
    kept.index[i] = static_cast<uint32_t>(g.op.size());
    g.op.push_back(templates.intern(node, i));
    for (NodeId input : node.inputs()) g.children.push_back(kept.index[input.value()]);
    g.child_begin.push_back(static_cast<uint32_t>(g.children.size()));
  }
  g.outputs.reserve(outputs.size());
  for (NodeId o : outputs) g.outputs.push_back(kept.index[o.value()]);
}

// Structural duplicates of the engine's answer, by (template, mapped children).
struct Deduplicated {
  TemplateGraph graph;
  std::vector<uint32_t> index;  // canonical index -> deduplicated index
};

// Keyed: templates and children follow from the caller's graph.
uint32_t node_hash(TemplateId op, std::span<const uint32_t> children) {
  KeyedMixer mix(static_cast<uint32_t>(op));
  mix(children.size());
  for (uint32_t c : children) mix(c);
  return mix.hash32();
}

Deduplicated cse(TemplateGraph canonical) {
  Deduplicated d;
  const uint64_t m = canonical.size();
  d.index.reserve(m);
  d.graph.texts = std::move(canonical.texts);
  d.graph.opaque_templates = std::move(canonical.opaque_templates);
  d.graph.op.reserve(m);
  d.graph.child_begin.reserve(m + 1);
  d.graph.children.reserve(canonical.children.size());
  IdIndex seen;  // of d.graph's nodes, by template and children
  seen.reserve_more(m);
  absl::InlinedVector<uint32_t, 4> kids;
  for (uint64_t i = 0; i < m; ++i) {
    kids.clear();
    for (uint64_t c : canonical.children_of(i)) {
      if (c >= i) panic("canonical graph references only earlier nodes");
      kids.push_back(d.index[c]);
    }
    const TemplateId op = canonical.op[i];
    const uint32_t hash = node_hash(op, kids);
    const uint32_t found = seen.find(hash, [&](uint32_t k) {
      const auto other = d.graph.children_of(k);
      return d.graph.op[k] == op && std::equal(kids.begin(), kids.end(), other.begin(), other.end());
    });
    if (IdIndex::found(found)) {
      d.index.push_back(found);
      continue;
    }
    const auto fresh = static_cast<uint32_t>(d.graph.op.size());
    d.graph.op.push_back(op);
    d.graph.children.insert(d.graph.children.end(), kids.begin(), kids.end());
    d.graph.child_begin.push_back(static_cast<uint32_t>(d.graph.children.size()));
    seen.insert(hash, fresh);
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

void check_reduce_size(uint64_t nodes, uint64_t inputs) {
  if (nodes >= kDropped) panic("graph too large to reduce: " + std::to_string(nodes) + " nodes");
  if (inputs >= kDropped) panic("graph too large to reduce: " + std::to_string(inputs) + " inputs");
}

Reduced reduce_with_mode(const NodesView& nodes, const std::vector<NodeId>& outputs,
                         const RewriteEngine& engine, bool maximal_fusion, ReductionTimes* times) {
  if (nodes.first_id() != NodeId(0)) panic("a reduction starts at the first node");
  Laps laps(times);
  Kept kept;
  dead_code_elimination(nodes, outputs, kept);
  laps.lap(&ReductionTimes::dead_code);
  Reduced reduced;
  reduced.report.input_nodes = nodes.size();
  reduced.report.reachable_nodes = kept.graph.size();

  // The engine takes the graph: its texts pass to the answer uncopied, and
  // the rest is freed before fusion.
  TemplateCanonical canonical = engine.canonicalize_templates(std::move(kept.graph));
  if (canonical.canonical_index.size() != reduced.report.reachable_nodes) {
    panic("rewrite engine returned one canonical index per node");
  }
  laps.lap(&ReductionTimes::engine_build);
  if (times != nullptr) {
    times->engine_build -= canonical.saturate_seconds;
    times->saturation += canonical.saturate_seconds;
  }
  const bool deduplicate = !canonical.duplicate_free;
  Deduplicated dedup;
  if (deduplicate) {
    dedup = cse(std::move(canonical.graph));
  } else {
    dedup.graph = std::move(canonical.graph);
  }
  reduced.report.canonical_nodes = dedup.graph.size();
  // Where each input node landed so far, composed now so that the engine's
  // and the duplicates' index arrays are freed before fusion.
  for (uint32_t& k : kept.index) {
    if (k == kDropped) continue;
    uint64_t landed = at(canonical.canonical_index, k);
    if (deduplicate) landed = at(dedup.index, landed);
    k = static_cast<uint32_t>(landed);
  }
  canonical.canonical_index = std::vector<uint32_t>();
  dedup.index = std::vector<uint32_t>();
  laps.lap(&ReductionTimes::duplicates);

  Fused fused = stage_fusion(std::move(dedup.graph), kept.templates, maximal_fusion);
  reduced.report.stages = fused.stages;
  reduced.report.boundary_nodes = fused.boundary_nodes;
  reduced.report.reduced_nodes = fused.emitted;

  kept.templates = TokenTemplates();
  reduced.node_map = PackedNodeMap(nodes.size());
  for (uint64_t i = 0; i < nodes.size(); ++i) {
    const uint64_t k = kept.index[i];
    if (k != kDropped) reduced.node_map.copy(i, fused.placement, k);
  }
  reduced.store = std::move(fused.store);
  reduced.nodes = fused.nodes;
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
  const NodesView nodes = store.snapshot_from(NodeId(0));
  for (NodeId o : outputs) {
    if (o.value() >= nodes.size()) return Err(BadNodeId{o});
  }
  laps.lap(&ReductionTimes::view);
  return from_reduced(reduce_with_mode(nodes, outputs, engine, maximal_fusion, times), times);
}

ReducedStore from_reduced(Reduced reduced, ReductionTimes* times) {
  Laps laps(times);
  for (NodeId o : reduced.outputs) {
    if (!reduced.store->mark_output(o).ok()) panic("reduced output is valid");
  }
  reduced.store->set_node_map(std::move(reduced.node_map));
  laps.lap(&ReductionTimes::new_store);
  return ReducedStore{std::move(reduced.store), reduced.report};
}

}  // namespace velmora
