// The rewrite engine: turns a graph into its canonical form, where nodes that
// the rules prove equal (commuted operands, identity scalars, structural
// duplicates) collapse into one. `EggEngine` does it by equality saturation.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "optimizer/egraph/rewrite.h"
#include "optimizer/egraph/runner.h"

namespace velmora {

struct EngineNode {
  std::string op;  // the node's token; inputs are not part of it
  std::vector<uint64_t> children;  // indices of earlier nodes, in input order
  bool opaque = false;  // true for every node that is not an element-wise op

  friend bool operator==(const EngineNode&, const EngineNode&) = default;
};

struct EngineGraph {
  std::vector<EngineNode> nodes;  // topological: children precede parents
  std::vector<uint64_t> outputs;  // as given, duplicates kept

  friend bool operator==(const EngineGraph&, const EngineGraph&) = default;
};

struct Canonical {
  EngineGraph graph;
  std::vector<uint64_t> canonical_index;  // one entry per input node
  // Where the engine's time went, in seconds, for benchmarks; an engine that
  // does not say leaves them 0.
  double build_seconds = 0;
  double saturate_seconds = 0;
};

class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;
  [[nodiscard]] virtual Canonical canonicalize(const EngineGraph& graph) const = 0;
};

class EggEngine final : public RewriteEngine {
 public:
  // The twelve rules (commutativity of eight ops, four identity scalars) and
  // an iteration limit of 12.
  static EggEngine make_default();

  [[nodiscard]] Canonical canonicalize(const EngineGraph& graph) const override;
  // The same run under explicit limits, reporting how it ended (for tests and
  // benchmarks). `canonicalize` uses `limits_for(graph.nodes.size())`.
  [[nodiscard]] Canonical canonicalize_with(const EngineGraph& graph, const egraph::RunLimits& limits,
                                            egraph::RunReport* report = nullptr) const;
  [[nodiscard]] egraph::RunLimits limits_for(size_t nodes) const;

  [[nodiscard]] const std::vector<egraph::Rewrite>& rules() const { return rules_; }
  [[nodiscard]] uint64_t iter_limit() const { return iter_limit_; }

 private:
  EggEngine(std::vector<egraph::Rewrite> rules, uint64_t iter_limit)
      : rules_(std::move(rules)), iter_limit_(iter_limit) {}
  std::vector<egraph::Rewrite> rules_;
  uint64_t iter_limit_;
};

}  // namespace velmora
