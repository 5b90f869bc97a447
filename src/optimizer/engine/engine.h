// The rewrite engine: turns a graph into its canonical form, where nodes that
// the rules prove equal (commuted operands, identity scalars, structural
// duplicates) collapse into one. `EggEngine` does it by equality saturation.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora {

// The e-graph library stays out of this header: only the engine's own source
// and its tests see it.
namespace egraph {
class Rewrite;
struct RunLimits;
struct RunReport;
}  // namespace egraph

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

// A graph over node templates, the engine's working form: each node names its
// template (its op text) by id, and children are one flat list. A template's
// text is made once, however many nodes share it.
enum class TemplateId : uint32_t {};

// Texts stored end to end in one buffer, read back as views: far smaller than
// a string apiece when there are as many texts as nodes.
class TextTable {
 public:
  [[nodiscard]] std::size_t size() const { return ends_.size(); }
  [[nodiscard]] bool empty() const { return ends_.empty(); }
  // Views stay valid until the next text is added.
  [[nodiscard]] std::string_view operator[](std::size_t i) const {
    const uint64_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_).substr(begin, ends_[i] - begin);
  }
  void push_back(std::string_view text) {
    add_with([text](std::string& out) { out += text; });
  }
  // Adds the text that `write(std::string& out)` appends to `out`.
  template <typename Write>
  void add_with(Write&& write) {
    write(bytes_);
    ends_.push_back(bytes_.size());
  }

 private:
  std::string bytes_;
  std::vector<uint64_t> ends_;  // per text, where it ends in bytes_
};

struct TemplateGraph {
  TextTable texts;  // per template, distinct
  std::vector<bool> opaque_templates;  // per template: its kind is not element-wise
  std::vector<TemplateId> op;  // per node, topological: children precede parents
  // Node indices and offsets: a graph the pipeline handles has fewer than
  // 2^32 nodes and inputs, and half-width entries halve what every step reads.
  std::vector<uint32_t> child_begin{0};  // per node, plus one
  std::vector<uint32_t> children;
  std::vector<uint64_t> outputs;  // as given, duplicates kept

  [[nodiscard]] uint64_t size() const { return op.size(); }
  [[nodiscard]] std::span<const uint32_t> children_of(uint64_t i) const {
    return {children.data() + child_begin[i], children.data() + child_begin[i + 1]};
  }
  [[nodiscard]] std::string_view text(uint64_t i) const {
    return texts[static_cast<uint32_t>(op[i])];
  }
  // Every node that is not an element-wise op.
  [[nodiscard]] bool opaque(uint64_t i) const { return opaque_templates[static_cast<uint32_t>(op[i])]; }

  // The same graph with its texts interned.
  [[nodiscard]] static TemplateGraph from(const EngineGraph& g);
  [[nodiscard]] EngineGraph to_engine_graph() const;
};

struct TemplateCanonical {
  TemplateGraph graph;  // the input's templates, with the same ids
  std::vector<uint32_t> canonical_index;  // one entry per input node
  // No two nodes of `graph` share a template and children, so looking for
  // structural duplicates would find none.
  bool duplicate_free = false;
  double build_seconds = 0;
  double saturate_seconds = 0;
};

struct Canonical {
  EngineGraph graph;
  std::vector<uint64_t> canonical_index;  // one entry per input node
  // Where the engine's time went, in seconds, for benchmarks; an engine that
  // does not say leaves them 0.
  double build_seconds = 0;
  double saturate_seconds = 0;
};

// The e-graph holds up to two e-nodes a node (its commuted form) with 32-bit
// ids and child offsets, so the engine takes fewer than 2^31 - 1 nodes and
// 2^32 - 1 inputs in all; past either it panics.
void check_engine_size(uint64_t nodes, uint64_t inputs);

class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;
  [[nodiscard]] virtual Canonical canonicalize(const EngineGraph& graph) const = 0;
  // The same over templates, which the pipeline uses; the graph is taken so
  // that its texts pass to the answer without a copy. This default goes
  // through `canonicalize`.
  [[nodiscard]] virtual TemplateCanonical canonicalize_templates(TemplateGraph graph) const;
};

class EggEngine final : public RewriteEngine {
 public:
  // The twelve rules (commutativity of eight ops, four identity scalars) and
  // an iteration limit of 12.
  static EggEngine make_default();

  [[nodiscard]] Canonical canonicalize(const EngineGraph& graph) const override;
  [[nodiscard]] TemplateCanonical canonicalize_templates(TemplateGraph graph) const override;
  // The same run under explicit limits, reporting how it ended (for tests and
  // benchmarks). `canonicalize` uses `limits_for(graph.nodes.size())`.
  [[nodiscard]] Canonical canonicalize_with(const EngineGraph& graph, const egraph::RunLimits& limits,
                                            egraph::RunReport* report = nullptr) const;
  [[nodiscard]] TemplateCanonical canonicalize_templates_with(TemplateGraph graph,
                                                              const egraph::RunLimits& limits,
                                                              egraph::RunReport* report = nullptr) const;
  [[nodiscard]] egraph::RunLimits limits_for(size_t nodes) const;

  [[nodiscard]] const std::vector<egraph::Rewrite>& rules() const { return *rules_; }
  [[nodiscard]] uint64_t iter_limit() const { return iter_limit_; }

 private:
  EggEngine(std::shared_ptr<const std::vector<egraph::Rewrite>> rules, uint64_t iter_limit)
      : rules_(std::move(rules)), iter_limit_(iter_limit) {}
  std::shared_ptr<const std::vector<egraph::Rewrite>> rules_;
  uint64_t iter_limit_;
};

}  // namespace velmora
