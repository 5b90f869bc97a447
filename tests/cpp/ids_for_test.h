// Node ids written as numbers, for keys and output lists spelled out by hand.
#pragma once

#include <cstdint>
#include <ostream>

#include "node/node.h"

namespace velmora {

template <typename... N>
[[nodiscard]] Inputs ids(N... n) {
  return Inputs{NodeId(static_cast<uint64_t>(n))...};
}

inline std::ostream& operator<<(std::ostream& out, NodeId id) { return out << id.value(); }

}  // namespace velmora
