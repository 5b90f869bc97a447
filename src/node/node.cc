#include "node/node.h"

#include <charconv>

#include "node/text.h"

namespace velmora {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

const ParamMap kNoParams;

std::optional<ParamValue> parse_value(std::string_view text) {
  if (text.empty() || static_cast<unsigned char>(text[0]) >= 0x80) return std::nullopt;
  char tag = text[0];
  std::string_view rest = text.substr(1);
  switch (tag) {
    case 's': return ParamValue::Str(unescape_token(rest));
    case 'b':
      if (rest == "true") return ParamValue::Bool(true);
      if (rest == "false") return ParamValue::Bool(false);
      return std::nullopt;
    case 'i': {
      bool negative = false;
      if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
        negative = rest[0] == '-';
        rest.remove_prefix(1);
      }
      if (rest.empty()) return std::nullopt;
      for (char c : rest) {
        if (c < '0' || c > '9') return std::nullopt;
      }
      // Read the magnitude unsigned so that the minimum value fits.
      uint64_t mag = 0;
      auto [p, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), mag);
      if (ec != std::errc() || p != rest.data() + rest.size()) return std::nullopt;
      if (negative) {
        if (mag > (uint64_t{1} << 63)) return std::nullopt;
        return ParamValue::Int(static_cast<int64_t>(0 - mag));
      }
      if (mag > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
      return ParamValue::Int(static_cast<int64_t>(mag));
    }
    case 'f': {
      if (!rest.empty() && rest[0] == '+') rest.remove_prefix(1);
      if (rest.empty()) return std::nullopt;
      for (char c : rest) {
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) return std::nullopt;
      }
      uint64_t bits = 0;
      auto [p, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), bits, 16);
      if (ec != std::errc() || p != rest.data() + rest.size()) return std::nullopt;
      return ParamValue::Float(std::bit_cast<double>(bits));
    }
    default: return std::nullopt;
  }
}

}  // namespace

std::span<const NodeId> NodeKey::inputs() const {
  return std::visit(
      Overloaded{[](const SourceNode&) { return std::span<const NodeId>(); },
                 [](const auto& n) { return std::span<const NodeId>(n.inputs); }},
      v_);
}

std::string_view NodeKey::name() const {
  return std::visit(Overloaded{[](const SourceNode& n) { return std::string_view(n.name); },
                               [](const OpNode& n) { return std::string_view(n.name); },
                               [](const ReductionNode& n) { return std::string_view(n.name); },
                               [](const auto&) { return std::string_view(); }},
                    v_);
}

const ParamMap& NodeKey::params() const {
  return std::visit(Overloaded{[](const StageNode&) -> const ParamMap& { return kNoParams; },
                               [](const auto& n) -> const ParamMap& { return n.params; }},
                    v_);
}

std::string NodeKey::token() const {
  std::string t;
  node_text::append_token(*this, t);
  return t;
}

std::string NodeKey::label() const { return node_text::label(*this); }

NodeKey NodeKey::with_inputs(Inputs inputs) && {
  std::visit(Overloaded{[](SourceNode&) {}, [&inputs](auto& n) { n.inputs = std::move(inputs); }},
             v_);
  return std::move(*this);
}

NodeKey NodeKey::with_inputs(Inputs inputs) const& {
  return std::visit(Overloaded{[](const SourceNode& n) { return NodeKey(n); },
                               [&inputs](const auto& n) {
                                 auto copy = n;
                                 copy.inputs = std::move(inputs);
                                 return NodeKey(std::move(copy));
                               }},
                    v_);
}

std::optional<NodeKey::Kind> kind_of_text(std::string_view text) {
  for (int k = 0; k < NodeKey::kKindCount; ++k) {
    const std::string_view head = kKinds[k].token_head;
    if (!text.starts_with(head)) continue;
    // A head without its bar ("exch", "join") ends at the text's end or a bar.
    if (head.ends_with('|') || text.size() == head.size() || text[head.size()] == '|') {
      return static_cast<NodeKey::Kind>(k);
    }
  }
  return std::nullopt;
}

std::optional<ParsedOpToken> parse_op_token(std::string_view token) {
  std::size_t bar1 = token.find('|');
  if (bar1 == std::string_view::npos) return std::nullopt;
  std::string_view kind = token.substr(0, bar1);
  std::string_view after = token.substr(bar1 + 1);
  std::size_t bar2 = after.find('|');
  std::string_view name_piece = after.substr(0, bar2);
  std::optional<std::string_view> rest;
  if (bar2 != std::string_view::npos) rest = after.substr(bar2 + 1);
  if (kind != "op" && kind != "red") return std::nullopt;

  ParsedOpToken out{std::string(kind), unescape_token(name_piece), {}};
  if (!rest || rest->empty()) return out;

  std::vector<Param> pairs;
  std::string_view items = *rest;
  while (true) {
    std::size_t semi = items.find(';');
    std::string_view item = items.substr(0, semi);
    std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    auto value = parse_value(item.substr(eq + 1));
    if (!value) return std::nullopt;
    pairs.emplace_back(unescape_token(item.substr(0, eq)), std::move(*value));
    if (semi == std::string_view::npos) break;
    items = items.substr(semi + 1);
  }
  out.params = ParamMap(std::move(pairs));
  return out;
}

}  // namespace velmora
