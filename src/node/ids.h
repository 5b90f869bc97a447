// Ids of an arena's node-format entries past its texts (base/arena_id.h).
#pragma once

#include "base/arena_id.h"

namespace velmora {

using DescriptorId = ArenaId<struct DescriptorTag>;
// A node's position in its arena's records: 32 bits, where the node id a
// store hands out is 64.
using NodePos = ArenaId<struct NodePosTag>;

}  // namespace velmora
