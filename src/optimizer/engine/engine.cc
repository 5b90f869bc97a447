#include "optimizer/engine/engine.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <string_view>

#include "absl/container/inlined_vector.h"
#include "base/panic.h"
#include "optimizer/egraph/big_alloc.h"
#include "optimizer/egraph/egraph.h"
#include "optimizer/egraph/symbol.h"

namespace velmora {
namespace {

constexpr std::array<std::string_view, 8> kCommutativeOrder = {"add", "mul", "and", "or",
                                                               "eq", "ne", "maximum", "minimum"};
constexpr std::array<std::string_view, 4> kIdentities = {
    "op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};

egraph::Rewrite rule(std::string name, const std::string& lhs, const std::string& rhs) {
  auto r = egraph::Rewrite::make(std::move(name), lhs, rhs);
  if (!r.ok()) panic("rewrite rule " + lhs + " => " + rhs + " does not parse: " + r.error().message);
  return std::move(r).value();
}

}  // namespace

EggEngine EggEngine::make_default() {
  std::vector<egraph::Rewrite> rules;
  rules.reserve(kCommutativeOrder.size() + kIdentities.size());
  for (std::string_view name : kCommutativeOrder) {
    const std::string n(name);
    rules.push_back(rule("commute-" + n, "(op|" + n + " ?a ?b)", "(op|" + n + " ?b ?a)"));
  }
  for (size_t i = 0; i < kIdentities.size(); ++i) {
    // Built by appending: GCC 12 at -O3 reports a false -Wrestrict overlap in
    // `const char* + std::string&&`, which inserts at the front.
    std::string lhs = "(";
    lhs.append(kIdentities[i]).append(" ?x)");
    rules.push_back(rule("identity-" + std::to_string(i), lhs, "?x"));
  }
  return EggEngine(std::move(rules), 12);
}

egraph::RunLimits EggEngine::limits_for(size_t nodes) const {
  egraph::RunLimits limits;
  limits.iter_limit = iter_limit_;
  limits.node_limit = 4 * nodes + 1024;
  limits.time_limit = std::chrono::seconds(5);
  return limits;
}

Canonical EggEngine::canonicalize(const EngineGraph& graph) const {
  return canonicalize_with(graph, limits_for(graph.nodes.size()));
}

Canonical EggEngine::canonicalize_with(const EngineGraph& graph, const egraph::RunLimits& limits,
                                       egraph::RunReport* report) const {
  const size_t n = graph.nodes.size();
  if (n >= egraph::kNoId / 2) panic("graph too large for the rewrite engine: " + std::to_string(n) + " nodes");
  egraph::EGraph eg;
  size_t edges = 0;
  for (const EngineNode& node : graph.nodes) edges += node.children.size();
  // The rules add at most one e-node per commutative node. Reserved but
  // untouched memory costs nothing, so reserve for the worst case.
  eg.reserve(2 * n + 16, 2 * edges + 16);

  // Node tokens stay in this call's own symbol scope; consecutive nodes often
  // share a token, so the last lookup is remembered.
  egraph::LocalSymbols symbols;
  egraph::BigVector<egraph::Symbol> symbol_of(n);
  for (size_t i = 0; i < n; ++i) {
    const std::string& op = graph.nodes[i].op;
    symbol_of[i] = i > 0 && op == graph.nodes[i - 1].op ? symbol_of[i - 1] : symbols.get(op);
  }

  egraph::BigVector<egraph::ClassId> class_of(n);
  absl::InlinedVector<egraph::ClassId, 4> kids;
  constexpr size_t kAhead = 16;  // nodes whose hash-cons slots are loading meanwhile
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) {
      const EngineNode& next = graph.nodes[i + kAhead];
      if (next.children.size() <= 2 &&
          std::all_of(next.children.begin(), next.children.end(), [&](uint64_t c) { return c < i; })) {
        egraph::ClassId ahead[2];
        for (size_t k = 0; k < next.children.size(); ++k) ahead[k] = class_of[next.children[k]];
        eg.prefetch(symbol_of[i + kAhead], std::span<const egraph::ClassId>(ahead, next.children.size()));
      }
    }
    const EngineNode& node = graph.nodes[i];
    kids.clear();
    for (uint64_t c : node.children) {
      if (c >= i) {
        panic("index out of bounds: child " + std::to_string(c) + " of node " + std::to_string(i) +
              " is not an earlier node");
      }
      kids.push_back(class_of[c]);
    }
    class_of[i] = eg.add(symbol_of[i], kids);
  }

  const egraph::Runner runner(limits);
  egraph::RunReport run = runner.run(eg, rules_);
  if (report != nullptr) *report = std::move(run);

  // Each class is represented by its earliest node, numbered in input order.
  constexpr uint64_t kUnset = ~uint64_t{0};
  egraph::BigVector<uint64_t> position(eg.id_bound(), kUnset);
  Canonical out;
  out.canonical_index.resize(n);
  out.graph.nodes.reserve(n);
  egraph::advise_huge_pages(out.graph.nodes.data(), n * sizeof(EngineNode));
  for (size_t i = 0; i < n; ++i) {
    const egraph::ClassId c = eg.find(class_of[i]);
    uint64_t& pos = position[c];
    if (pos == kUnset) {
      const EngineNode& node = graph.nodes[i];
      EngineNode& rep = out.graph.nodes.emplace_back();
      rep.op = node.op;
      rep.children.reserve(node.children.size());
      for (uint64_t child : node.children) rep.children.push_back(out.canonical_index[child]);
      rep.opaque = !node.op.starts_with("op|");
      pos = out.graph.nodes.size() - 1;
    }
    out.canonical_index[i] = pos;
  }
  out.graph.outputs.reserve(graph.outputs.size());
  for (uint64_t o : graph.outputs) out.graph.outputs.push_back(at(out.canonical_index, o));
  return out;
}

}  // namespace velmora
