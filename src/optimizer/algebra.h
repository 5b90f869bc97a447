// The algebra the optimizer proves nodes equal by: which binary ops may swap
// their operands, and which op with which scalar on which side stands for its
// one operand. The e-graph rules and the incremental reducer's tests are both
// made from these two tables, so they cannot disagree.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <string>
#include <string_view>

#include "param/param.h"

namespace velmora {

// In the order the engine's commutativity rules are made and named.
inline constexpr std::array<std::string_view, 8> kCommutativeOps = {"add", "mul", "and", "or",
                                                                    "eq",  "ne",  "maximum", "minimum"};

// An op whose params are exactly {scalar: a float, side: a string}, in that
// order, with this float and side. The scalar is matched by its bit pattern:
// -0.0 is no identity for add.
struct Identity {
  std::string_view op;
  double scalar;
  std::string_view side;
};
inline constexpr std::string_view kScalarParam = "scalar";
inline constexpr std::string_view kSideParam = "side";
// In the order the engine's identity rules are made and numbered.
inline constexpr std::array<Identity, 4> kIdentities = {{
    {"add", 0.0, "r"},
    {"add", 0.0, "l"},
    {"mul", 1.0, "r"},
    {"mul", 1.0, "l"},
}};

[[nodiscard]] constexpr bool is_commutative_op(std::string_view name) {
  for (std::string_view op : kCommutativeOps) {
    if (name == op) return true;
  }
  return false;
}

// Whether an op called `name` with `params` (a range of ParamRef in stored
// order) is one of kIdentities; it says nothing of the operand count.
template <typename Params>
[[nodiscard]] bool is_identity_op(std::string_view name, const Params& params) {
  auto it = params.begin();
  if (it == params.end()) return false;
  const ParamRef scalar = *it;
  if (++it == params.end()) return false;
  const ParamRef side = *it;
  if (++it != params.end()) return false;
  if (scalar.name != kScalarParam || scalar.kind != ParamValue::Kind::kFloat) return false;
  if (side.name != kSideParam || side.kind != ParamValue::Kind::kStr) return false;
  for (const Identity& id : kIdentities) {
    if (name == id.op && scalar.canonical_bits() == std::bit_cast<uint64_t>(id.scalar) &&
        side.str == id.side) {
      return true;
    }
  }
  return false;
}

// The tokens of an op without params and of an identity's op: the symbols
// the engine's rule patterns match.
[[nodiscard]] std::string op_token(std::string_view op);
[[nodiscard]] std::string identity_token(const Identity& id);

}  // namespace velmora
