// Ids of an arena's node-format entries past its texts (base/arena_id.h), and
// the node id a store hands out.
#pragma once

#include <compare>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "base/arena_id.h"

namespace velmora {

using DescriptorId = ArenaId<struct DescriptorTag>;
// A node's position in its arena's records: 32 bits, where the node id a
// store hands out is 64.
using NodePos = ArenaId<struct NodePosTag>;

// A store's node id: dense from 0 in the order nodes were interned. It is as
// wide as the ids callers may name, so that one past the store's nodes is
// refused as a bad id rather than wrapped; `pos` is the one way down to the
// arena's 32-bit position.
class NodeId {
 public:
  // Left unset, as an integer is, so that vectors of ids copy and grow as
  // plain bytes; `NodeId{}` is the first node.
  NodeId() = default;
  constexpr explicit NodeId(uint64_t value) : value_(value) {}
  // The id of the node at `pos`, which is not none.
  [[nodiscard]] static constexpr NodeId at(NodePos pos) { return NodeId(pos.word()); }

  [[nodiscard]] constexpr uint64_t value() const { return value_; }
  // The node's position in its arena; an id past 32 bits is a broken
  // invariant here (ids are checked against the store's size first).
  [[nodiscard]] NodePos pos() const { return NodePos::of_index(value_); }

  friend constexpr auto operator<=>(NodeId, NodeId) = default;
  template <typename H>
  friend H AbslHashValue(H h, NodeId id) {
    return H::combine(std::move(h), id.value_);
  }

 private:
  uint64_t value_;
};
static_assert(std::is_trivial_v<NodeId>, "ids copy as bytes");

}  // namespace velmora
