#include "optimizer/engine/engine.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "absl/container/inlined_vector.h"
#include "base/id_index.h"
#include "base/panic.h"
#include "base/text_hash.h"
#include "node/node.h"
#include "optimizer/algebra.h"
#include "optimizer/egraph/big_alloc.h"
#include "optimizer/egraph/egraph.h"
#include "optimizer/egraph/rewrite.h"
#include "optimizer/egraph/runner.h"
#include "optimizer/egraph/symbol.h"

namespace velmora {
namespace {

egraph::Rewrite rule(std::string name, const std::string& lhs, const std::string& rhs) {
  auto r = egraph::Rewrite::make(std::move(name), lhs, rhs);
  if (!r.ok()) panic("rewrite rule " + lhs + " => " + rhs + " does not parse: " + r.error().message);
  return std::move(r).value();
}

// An index another engine answered with, narrowed to the pipeline's width.
uint32_t narrowed(uint64_t index) {
  if (index >= egraph::kNoId) panic("rewrite engine answered with index " + std::to_string(index));
  return static_cast<uint32_t>(index);
}

[[noreturn]] void child_not_earlier(uint64_t child, uint64_t node) {
  panic("index out of bounds: child " + std::to_string(child) + " of node " + std::to_string(node) +
        " is not an earlier node");
}

}  // namespace

void check_engine_size(uint64_t nodes, uint64_t inputs) {
  if (nodes >= egraph::kNoId / 2) panic("graph too large for the rewrite engine: " + std::to_string(nodes) + " nodes");
  if (inputs >= egraph::kNoId) panic("graph too large for the rewrite engine: " + std::to_string(inputs) + " inputs");
}

EggEngine EggEngine::make_default() {
  std::vector<egraph::Rewrite> rules;
  rules.reserve(kCommutativeOps.size() + kIdentities.size());
  // Patterns are built by appending: GCC 12 at -O3 reports a false -Wrestrict
  // overlap in `const char* + std::string&&`, which inserts at the front.
  for (std::string_view name : kCommutativeOps) {
    const std::string op = op_token(name);
    std::string lhs = "(", rhs = "(";
    lhs.append(op).append(" ?a ?b)");
    rhs.append(op).append(" ?b ?a)");
    std::string rule_name = "commute-";
    rule_name.append(name);
    rules.push_back(rule(std::move(rule_name), lhs, rhs));
  }
  for (size_t i = 0; i < kIdentities.size(); ++i) {
    std::string lhs = "(";
    lhs.append(identity_token(kIdentities[i])).append(" ?x)");
    rules.push_back(rule("identity-" + std::to_string(i), lhs, "?x"));
  }
  return EggEngine(std::make_shared<const std::vector<egraph::Rewrite>>(std::move(rules)), 12);
}

egraph::RunLimits EggEngine::limits_for(size_t nodes) const {
  egraph::RunLimits limits;
  limits.iter_limit = iter_limit_;
  limits.node_limit = 4 * nodes + 1024;
  limits.time_limit = std::chrono::seconds(5);
  return limits;
}

TemplateGraph TemplateGraph::from(const EngineGraph& g) {
  TemplateGraph t;
  IdIndex ids;  // of t.texts
  t.op.reserve(g.nodes.size());
  uint64_t edges = 0;
  for (const EngineNode& node : g.nodes) edges += node.children.size();
  check_engine_size(g.nodes.size(), edges);
  for (const EngineNode& node : g.nodes) {
    const uint32_t hash = text_hash(node.op);
    uint32_t id = ids.find(hash, [&](uint32_t k) { return t.texts[k] == node.op; });
    if (!IdIndex::found(id)) {
      id = static_cast<uint32_t>(t.texts.size());
      t.texts.push_back(node.op);
      t.opaque_templates.push_back(!element_wise_text(node.op));
      ids.insert(hash, id);
    }
    t.op.push_back(static_cast<TemplateId>(id));
    const uint64_t i = t.op.size() - 1;
    for (uint64_t c : node.children) {
      // Checked before narrowing, so that a huge index is not read as a small one.
      if (c >= i) child_not_earlier(c, i);
      t.children.push_back(static_cast<uint32_t>(c));
    }
    t.child_begin.push_back(static_cast<uint32_t>(t.children.size()));
  }
  t.outputs = g.outputs;
  return t;
}

EngineGraph TemplateGraph::to_engine_graph() const {
  EngineGraph g;
  g.nodes.reserve(size());
  for (uint64_t i = 0; i < size(); ++i) {
    const auto kids = children_of(i);
    g.nodes.push_back(EngineNode{std::string(text(i)), {kids.begin(), kids.end()}, opaque(i)});
  }
  g.outputs = outputs;
  return g;
}

TemplateCanonical RewriteEngine::canonicalize_templates(TemplateGraph graph) const {
  Canonical c = canonicalize(graph.to_engine_graph());
  // Keep the input's template ids: callers index their own tables by them.
  IdIndex ids;  // of graph.texts, which are distinct
  ids.reserve_more(graph.texts.size());
  for (std::size_t t = 0; t < graph.texts.size(); ++t) {
    ids.insert(text_hash(graph.texts[t]), static_cast<uint32_t>(t));
  }
  TemplateCanonical out;
  out.graph.op.reserve(c.graph.nodes.size());
  for (const EngineNode& node : c.graph.nodes) {
    const uint32_t t = ids.find(text_hash(node.op), [&](uint32_t k) { return graph.texts[k] == node.op; });
    if (!IdIndex::found(t)) panic("rewrite engine answered with an op text it was not given");
    out.graph.op.push_back(static_cast<TemplateId>(t));
    for (uint64_t child : node.children) out.graph.children.push_back(narrowed(child));
    out.graph.child_begin.push_back(static_cast<uint32_t>(out.graph.children.size()));
  }
  out.graph.outputs = std::move(c.graph.outputs);
  out.graph.texts = std::move(graph.texts);
  out.graph.opaque_templates = std::move(graph.opaque_templates);
  out.canonical_index.reserve(c.canonical_index.size());
  for (uint64_t k : c.canonical_index) out.canonical_index.push_back(narrowed(k));
  out.build_seconds = c.build_seconds;
  out.saturate_seconds = c.saturate_seconds;
  return out;
}

Canonical EggEngine::canonicalize(const EngineGraph& graph) const {
  return canonicalize_with(graph, limits_for(graph.nodes.size()));
}

TemplateCanonical EggEngine::canonicalize_templates(TemplateGraph graph) const {
  const auto limits = limits_for(graph.size());
  return canonicalize_templates_with(std::move(graph), limits);
}

Canonical EggEngine::canonicalize_with(const EngineGraph& graph, const egraph::RunLimits& limits,
                                       egraph::RunReport* report) const {
  TemplateCanonical c = canonicalize_templates_with(TemplateGraph::from(graph), limits, report);
  return Canonical{c.graph.to_engine_graph(), {c.canonical_index.begin(), c.canonical_index.end()},
                   c.build_seconds, c.saturate_seconds};
}

TemplateCanonical EggEngine::canonicalize_templates_with(TemplateGraph graph,
                                                         const egraph::RunLimits& limits,
                                                         egraph::RunReport* report) const {
  const size_t n = graph.size();
  check_engine_size(n, graph.children.size());
  using Clock = std::chrono::steady_clock;
  const auto t0 = Clock::now();
  auto owned = std::make_unique<egraph::EGraph>();
  egraph::EGraph& eg = *owned;
  const size_t edges = graph.children.size();
  // The rules add at most one e-node per commutative node. Reserved but
  // untouched memory costs nothing, so reserve for the worst case.
  eg.reserve(2 * n + 16, 2 * edges + 16);

  // Templates are distinct already, so each needs only a fresh symbol, or the
  // global one a rule names.
  egraph::LocalSymbols symbols;
  std::vector<egraph::Symbol> symbol_of_template;
  symbol_of_template.reserve(graph.texts.size());
  for (std::size_t t = 0; t < graph.texts.size(); ++t) {
    symbol_of_template.push_back(symbols.distinct(graph.texts[t]));
  }
  auto symbol_of = [&](size_t i) { return symbol_of_template[static_cast<uint32_t>(graph.op[i])]; };

  egraph::BigVector<egraph::ClassId> class_of(n);
  absl::InlinedVector<egraph::ClassId, 4> kids;
  // Adding a node reads its children's classes, their roots and then a
  // hash-cons slot keyed by those roots: three dependent loads, each started
  // a stage ahead so that far-away children overlap their misses.
  constexpr size_t kAhead = 16;
  for (size_t i = 0; i < n; ++i) {
    if (i + 3 * kAhead < n) {
      for (uint64_t c : graph.children_of(i + 3 * kAhead)) __builtin_prefetch(&class_of[c]);
    }
    if (i + 2 * kAhead < n) {
      for (uint64_t c : graph.children_of(i + 2 * kAhead)) {
        if (c < i) eg.prefetch_class(class_of[c]);
      }
    }
    if (i + kAhead < n) {
      const auto next = graph.children_of(i + kAhead);
      if (next.size() <= 2 &&
          std::all_of(next.begin(), next.end(), [&](uint64_t c) { return c < i; })) {
        egraph::ClassId ahead[2];
        for (size_t k = 0; k < next.size(); ++k) ahead[k] = class_of[next[k]];
        eg.prefetch(symbol_of(i + kAhead), std::span<const egraph::ClassId>(ahead, next.size()));
      }
    }
    kids.clear();
    for (uint64_t c : graph.children_of(i)) {
      if (c >= i) child_not_earlier(c, i);
      kids.push_back(class_of[c]);
    }
    class_of[i] = eg.add(symbol_of(i), kids);
  }

  // The input's edges are in the e-graph now, which is where a
  // representative's children are read back from: free them for the run.
  graph.children = std::vector<uint32_t>();
  graph.child_begin = std::vector<uint32_t>();

  const auto t1 = Clock::now();
  const egraph::Runner runner(limits);
  egraph::RunReport run = runner.run(eg, *rules_);
  if (report != nullptr) *report = std::move(run);
  const auto t2 = Clock::now();
  eg.freeze();

  // Each class is represented by its earliest node, numbered in input order.
  // Positions fit in 32 bits: the graph has fewer than kNoId / 2 nodes. A
  // representative added its own e-node (an earlier equal one would be in its
  // class), which founded the class it was given and keeps its template and
  // children, up to equality of classes.
  constexpr uint32_t kUnset = ~uint32_t{0};
  egraph::BigVector<uint32_t> position(eg.id_bound(), kUnset);
  TemplateCanonical out;
  out.canonical_index.resize(n);
  out.graph.op.reserve(n);
  out.graph.child_begin.reserve(n + 1);
  out.graph.children.reserve(edges);
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) eg.prefetch_class(class_of[i + kAhead]);
    uint32_t& pos = position[egraph::index_of(eg.find(class_of[i]))];
    if (pos == kUnset) {
      out.graph.op.push_back(graph.op[i]);
      for (egraph::ClassId child : eg.children(egraph::EGraph::founder(class_of[i]))) {
        out.graph.children.push_back(position[egraph::index_of(eg.find(child))]);
      }
      out.graph.child_begin.push_back(static_cast<uint32_t>(out.graph.children.size()));
      pos = static_cast<uint32_t>(out.graph.op.size() - 1);
    }
    out.canonical_index[i] = pos;
  }
  owned.reset();
  class_of = egraph::BigVector<egraph::ClassId>();
  position = egraph::BigVector<uint32_t>();
  out.graph.outputs.reserve(graph.outputs.size());
  for (uint64_t o : graph.outputs) out.graph.outputs.push_back(at(out.canonical_index, o));
  out.graph.texts = std::move(graph.texts);
  out.graph.opaque_templates = std::move(graph.opaque_templates);
  // The e-graph was clean when the run stopped, so congruent nodes share a
  // class: two representatives with one template and the same children
  // would be one class.
  out.duplicate_free = true;
  // Reading the classes back counts with building: both are linear passes.
  out.build_seconds = std::chrono::duration<double>(t1 - t0 + (Clock::now() - t2)).count();
  out.saturate_seconds = std::chrono::duration<double>(t2 - t1).count();
  return out;
}

}  // namespace velmora
