// NodeKey: the structural identity of an IR node (kind, name, params,
// descriptor, ordered inputs), with its canonical token, label and the parser
// that reads an op token back.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "base/panic.h"
#include "node/ids.h"
#include "param/param.h"

namespace velmora {

struct PayloadDescriptor {
  std::string kind;
  std::string content_hash;
  std::string framework;
  std::string version;
  std::string io_schema;
  std::optional<std::string> preprocessing_ref;

  friend bool operator==(const PayloadDescriptor&, const PayloadDescriptor&) = default;
  template <typename H>
  friend H AbslHashValue(H h, const PayloadDescriptor& d) {
    return H::combine(std::move(h), d.kind, d.content_hash, d.framework, d.version, d.io_schema,
                      d.preprocessing_ref);
  }
};

struct StageRef {
  enum class Kind : uint8_t { kInput = 0, kMember = 1 };
  Kind kind = Kind::kInput;
  uint64_t index = 0;

  static StageRef Input(uint64_t k) { return {Kind::kInput, k}; }
  static StageRef Member(uint64_t k) { return {Kind::kMember, k}; }

  friend bool operator==(const StageRef&, const StageRef&) = default;
  template <typename H>
  friend H AbslHashValue(H h, const StageRef& r) {
    return H::combine(std::move(h), static_cast<uint8_t>(r.kind), r.index);
  }
};

struct StageOp {
  std::string op;  // the fused node's token
  std::vector<StageRef> inputs;

  friend bool operator==(const StageOp&, const StageOp&) = default;
  template <typename H>
  friend H AbslHashValue(H h, const StageOp& s) {
    return H::combine(std::move(h), s.op, s.inputs);
  }
};

// A heap box with value semantics: keeps the rarely used descriptor out of the
// common node size while copies stay deep.
template <typename T>
class Boxed {
 public:
  Boxed() : p_(std::make_unique<T>()) {}
  Boxed(T v) : p_(std::make_unique<T>(std::move(v))) {}  // NOLINT: implicit by design
  Boxed(const Boxed& o) : p_(std::make_unique<T>(*o.p_)) {}
  Boxed(Boxed&&) noexcept = default;
  Boxed& operator=(const Boxed& o) {
    if (this != &o) p_ = std::make_unique<T>(*o.p_);
    return *this;
  }
  Boxed& operator=(Boxed&&) noexcept = default;
  const T& operator*() const { return *p_; }
  const T* operator->() const { return p_.get(); }
  friend bool operator==(const Boxed& a, const Boxed& b) { return *a.p_ == *b.p_; }
  template <typename H>
  friend H AbslHashValue(H h, const Boxed& b) {
    return H::combine(std::move(h), *b.p_);
  }

 private:
  std::unique_ptr<T> p_;
};

using Inputs = std::vector<NodeId>;

struct SourceNode {
  std::string name;
  ParamMap params;
  friend bool operator==(const SourceNode&, const SourceNode&) = default;
};
struct OpNode {
  std::string name;
  ParamMap params;
  Inputs inputs;
  friend bool operator==(const OpNode&, const OpNode&) = default;
};
struct ReductionNode {
  std::string name;
  ParamMap params;
  Inputs inputs;
  friend bool operator==(const ReductionNode&, const ReductionNode&) = default;
};
struct ExternalNode {
  Boxed<PayloadDescriptor> descriptor;
  ParamMap params;
  Inputs inputs;
  friend bool operator==(const ExternalNode&, const ExternalNode&) = default;
};
struct StageNode {
  Inputs inputs;
  std::vector<StageOp> members;
  friend bool operator==(const StageNode&, const StageNode&) = default;
};
struct ExchangeNode {
  ParamMap params;
  Inputs inputs;
  friend bool operator==(const ExchangeNode&, const ExchangeNode&) = default;
};
struct JoinNode {
  ParamMap params;
  Inputs inputs;
  friend bool operator==(const JoinNode&, const JoinNode&) = default;
};

class NodeKey {
 public:
  // The variant index is the kind's ordinal (and its blob tag).
  enum class Kind : uint8_t {
    kSource = 0,
    kOp = 1,
    kReduction = 2,
    kExternal = 3,
    kStage = 4,
    kExchange = 5,
    kJoin = 6,
  };
  static constexpr int kKindCount = 7;
  // The kinds that carry a name.
  static constexpr bool named(Kind k);
  using Storage = std::variant<SourceNode, OpNode, ReductionNode, ExternalNode, StageNode,
                               ExchangeNode, JoinNode>;

  NodeKey(SourceNode n) : v_(std::move(n)) {}  // NOLINT: implicit by design
  NodeKey(OpNode n) : v_(std::move(n)) {}  // NOLINT
  NodeKey(ReductionNode n) : v_(std::move(n)) {}  // NOLINT
  NodeKey(ExternalNode n) : v_(std::move(n)) {}  // NOLINT
  NodeKey(StageNode n) : v_(std::move(n)) {}  // NOLINT
  NodeKey(ExchangeNode n) : v_(std::move(n)) {}  // NOLINT
  NodeKey(JoinNode n) : v_(std::move(n)) {}  // NOLINT

  static NodeKey Source(std::string name, ParamMap params = {}) {
    return SourceNode{std::move(name), std::move(params)};
  }
  static NodeKey Op(std::string name, Inputs inputs, ParamMap params = {}) {
    return OpNode{std::move(name), std::move(params), std::move(inputs)};
  }
  static NodeKey Reduction(std::string name, Inputs inputs, ParamMap params = {}) {
    return ReductionNode{std::move(name), std::move(params), std::move(inputs)};
  }
  static NodeKey External(PayloadDescriptor d, Inputs inputs, ParamMap params = {}) {
    return ExternalNode{std::move(d), std::move(params), std::move(inputs)};
  }
  static NodeKey Stage(Inputs inputs, std::vector<StageOp> members) {
    return StageNode{std::move(inputs), std::move(members)};
  }
  static NodeKey Exchange(Inputs inputs, ParamMap params = {}) {
    return ExchangeNode{std::move(params), std::move(inputs)};
  }
  static NodeKey Join(Inputs inputs, ParamMap params = {}) {
    return JoinNode{std::move(params), std::move(inputs)};
  }

  [[nodiscard]] Kind kind() const { return static_cast<Kind>(v_.index()); }
  [[nodiscard]] bool is_op() const { return is_op(kind()); }
  [[nodiscard]] static constexpr bool is_op(Kind k) { return k == Kind::kOp; }
  [[nodiscard]] const Storage& storage() const { return v_; }
  template <typename T>
  [[nodiscard]] const T& as() const {
    return std::get<T>(v_);
  }

  // The input ids; empty for a Source. A Stage's own inputs, not its members'.
  [[nodiscard]] std::span<const NodeId> inputs() const;
  // Name of a Source, Op or Reduction; empty otherwise.
  [[nodiscard]] std::string_view name() const;
  // The params; an empty map for a Stage.
  [[nodiscard]] const ParamMap& params() const;
  // External only.
  [[nodiscard]] const PayloadDescriptor& descriptor() const { return *as<ExternalNode>().descriptor; }
  // Stage only.
  [[nodiscard]] uint64_t member_count() const { return as<StageNode>().members.size(); }

  // The escaped canonical text of the node without its inputs.
  [[nodiscard]] std::string token() const;
  // The one-line display text used in DOT.
  [[nodiscard]] std::string label() const;
  // A copy with `inputs` as its input list; a Source ignores the list.
  [[nodiscard]] NodeKey with_inputs(Inputs inputs) const&;
  // The same, reusing this node's storage.
  [[nodiscard]] NodeKey with_inputs(Inputs inputs) &&;

  friend bool operator==(const NodeKey& a, const NodeKey& b) { return a.v_ == b.v_; }

  template <typename H>
  friend H AbslHashValue(H h, const NodeKey& k) {
    h = H::combine(std::move(h), static_cast<uint8_t>(k.v_.index()));
    return std::visit(
        [&h](const auto& n) -> H {
          using T = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<T, SourceNode>) {
            return H::combine(std::move(h), n.name, n.params);
          } else if constexpr (std::is_same_v<T, OpNode> || std::is_same_v<T, ReductionNode>) {
            return H::combine(std::move(h), n.name, n.params, n.inputs);
          } else if constexpr (std::is_same_v<T, ExternalNode>) {
            return H::combine(std::move(h), n.descriptor, n.params, n.inputs);
          } else if constexpr (std::is_same_v<T, StageNode>) {
            return H::combine(std::move(h), n.inputs, n.members);
          } else {
            return H::combine(std::move(h), n.params, n.inputs);
          }
        },
        k.v_);
  }

 private:
  Storage v_;
};

// The parts a node is made of, each kind having some of them.
enum class Part : uint8_t { kName, kDescriptor, kParams, kInputs, kMembers };

// What each kind is, by ordinal: the texts and traits every other part reads.
struct KindInfo {
  constexpr KindInfo(std::string_view w, std::string_view token, std::string_view label, bool ew,
                     std::initializer_list<Part> in_order)
      : word(w), token_head(token), label_head(label), element_wise(ew) {
    for (Part p : in_order) {
      order_[count_++] = p;
      mask_ = static_cast<uint8_t>(mask_ | 1u << static_cast<unsigned>(p));
    }
  }

  std::string_view word;  // the kind as node listings name it
  std::string_view token_head;  // how its token starts
  std::string_view label_head;  // how its label starts
  // Fuses into stages; every other kind is opaque, carried through as it is.
  bool element_wise;

  // Its parts, in the order a blob writes them.
  [[nodiscard]] constexpr std::span<const Part> parts() const { return {order_, count_}; }
  [[nodiscard]] constexpr bool has(Part p) const { return (mask_ >> static_cast<unsigned>(p) & 1u) != 0; }
  // Carries a name, written after the token and label heads.
  [[nodiscard]] constexpr bool named() const { return has(Part::kName); }

 private:
  Part order_[3]{};
  uint8_t count_ = 0;
  uint8_t mask_ = 0;
};
inline constexpr KindInfo kKinds[NodeKey::kKindCount] = {
    {"source", "src|", "Source ", false, {Part::kName, Part::kParams}},
    {"op", "op|", "Op ", true, {Part::kName, Part::kParams, Part::kInputs}},
    {"reduction", "red|", "Reduction ", false, {Part::kName, Part::kParams, Part::kInputs}},
    {"external", "ext|", "External ", false, {Part::kDescriptor, Part::kParams, Part::kInputs}},
    {"stage", "stage|", "Stage[", false, {Part::kInputs, Part::kMembers}},
    {"exchange", "exch", "Exchange", false, {Part::kParams, Part::kInputs}},
    {"join", "join", "Join", false, {Part::kParams, Part::kInputs}}};
static_assert(static_cast<int>(NodeKey::Kind::kJoin) + 1 == NodeKey::kKindCount, "one row a kind");
static_assert(std::variant_size_v<NodeKey::Storage> == NodeKey::kKindCount, "one alternative a kind");

[[nodiscard]] constexpr const KindInfo& kind_info(NodeKey::Kind k) { return kKinds[static_cast<int>(k)]; }
constexpr bool NodeKey::named(Kind k) { return kind_info(k).named(); }

// A kind's params and members share the words after its inputs, and its
// name and descriptor the record's one part word.
constexpr bool parts_fit_the_record() {
  for (const KindInfo& k : kKinds) {
    if (k.has(Part::kParams) && k.has(Part::kMembers)) return false;
    if (k.named() && k.has(Part::kDescriptor)) return false;
  }
  return true;
}
static_assert(parts_fit_the_record(), "a kind has params or members, a name or a descriptor");

// The owned key of a node in another form (one offering kind(), name(),
// params().to_map(), descriptor().to_descriptor() and for_each_member), with
// `inputs` as its inputs.
template <typename Node>
[[nodiscard]] NodeKey key_of(const Node& node, Inputs inputs) {
  switch (node.kind()) {
    case NodeKey::Kind::kSource: return NodeKey::Source(std::string(node.name()), node.params().to_map());
    case NodeKey::Kind::kOp:
      return NodeKey::Op(std::string(node.name()), std::move(inputs), node.params().to_map());
    case NodeKey::Kind::kReduction:
      return NodeKey::Reduction(std::string(node.name()), std::move(inputs), node.params().to_map());
    case NodeKey::Kind::kExternal:
      return NodeKey::External(node.descriptor().to_descriptor(), std::move(inputs), node.params().to_map());
    case NodeKey::Kind::kStage: {
      std::vector<StageOp> members;
      members.reserve(node.member_count());
      node.for_each_member([&members](const auto& m) {
        StageOp op{std::string(m.op), {}};
        op.inputs.reserve(m.argc);
        for (uint32_t k = 0; k < m.argc; ++k) op.inputs.push_back(m.ref(k));
        members.push_back(std::move(op));
      });
      return NodeKey::Stage(std::move(inputs), std::move(members));
    }
    case NodeKey::Kind::kExchange: return NodeKey::Exchange(std::move(inputs), node.params().to_map());
    case NodeKey::Kind::kJoin: return NodeKey::Join(std::move(inputs), node.params().to_map());
  }
  panic("node of unknown kind");
}

// The kind whose token a token or template text starts as, if any.
[[nodiscard]] std::optional<NodeKey::Kind> kind_of_text(std::string_view text);
// Whether such a text is of an element-wise kind.
[[nodiscard]] inline bool element_wise_text(std::string_view text) {
  const auto kind = kind_of_text(text);
  return kind && kind_info(*kind).element_wise;
}

// The parse of an "op|..." or "red|..." token: kind piece, name, params.
struct ParsedOpToken {
  std::string kind;
  std::string name;
  ParamMap params;
};
[[nodiscard]] std::optional<ParsedOpToken> parse_op_token(std::string_view token);

}  // namespace velmora
