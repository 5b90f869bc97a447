#include "optimizer/incremental/incremental.h"

#include <algorithm>
#include <utility>

#include "absl/container/inlined_vector.h"
#include "base/panic.h"
#include "optimizer/algebra.h"

namespace velmora {
namespace {

// An identity op stands for its operand, so it needs exactly one: with none or
// several, dropping it would lose the other inputs' computation.
bool is_identity(const NodeView& node) {
  return node.is_op() && node.inputs().size() == 1 && is_identity_op(node.name(), node.params());
}

bool is_commutative(const NodeView& node) {
  return node.is_op() && node.inputs().size() == 2 && node.params().empty() &&
         is_commutative_op(node.name());
}

}  // namespace

Result<uint64_t, BadNodeId> IncrementalReducer::step(const NodesView& delta) {
  // Room for the whole delta's entries before any node changes anything,
  // doubling so that many small steps stay linear in all.
  const std::size_t need = canonical_of_.size() + delta.size();
  if (need > canonical_of_.capacity()) canonical_of_.reserve(std::max(need, 2 * canonical_of_.capacity()));
  const uint64_t first = watermark();
  try {
    return consume(delta);
  } catch (...) {
    // A node's work is all or nothing: it allocates what it needs before
    // its one change that can fail, interning, which is all or nothing
    // itself. So the nodes before the failed one stay consumed, and their
    // work counts now: the rest, consumed later, is counted then, and
    // total_work ends equal to the watermark as without the failure.
    total_work_ += watermark() - first;
    throw;
  }
}

Result<uint64_t, BadNodeId> IncrementalReducer::consume(const NodesView& delta) {
  absl::InlinedVector<NodeId, 4> remapped;
  for (uint64_t k = 0; k < delta.size(); ++k) {
    const NodeView node = delta[k];
    const auto inputs = node.inputs();
    remapped.clear();
    for (NodeId input : inputs) {
      if (input.value() >= canonical_of_.size()) return Err(BadNodeId{input});
      remapped.push_back(canonical_of_[input.value()]);
    }
    // The identity and commutativity tests read only the kind, name and
    // params, which remapping leaves as they are.
    NodeId id;
    if (is_identity(node)) {
      id = remapped[0];
    } else {
      const PreparedKey candidate = node.prepare(remapped);
      std::optional<NodeId> found;
      if (is_commutative(node)) {
        found = canonical_form_.find(candidate);
        if (!found) {
          const NodeId swapped_inputs[2] = {remapped[1], remapped[0]};
          PreparedKey swapped = candidate;
          swapped.inputs = swapped_inputs;
          swapped.finish();
          found = canonical_form_.find(swapped);
        }
      }
      id = found ? *found : canonical_form_.intern(candidate).first;
    }
    canonical_of_.push_back(id);  // into the room reserved in step: allocates nothing
  }
  total_work_ += delta.size();
  return static_cast<uint64_t>(delta.size());
}

Result<Reduced, BadNodeId> IncrementalReducer::finalize(const std::vector<NodeId>& outputs,
                                                        const RewriteEngine& engine,
                                                        bool maximal_fusion) const {
  std::vector<NodeId> mapped;
  mapped.reserve(outputs.size());
  for (NodeId o : outputs) {
    if (o.value() >= canonical_of_.size()) return Err(BadNodeId{o});
    mapped.push_back(canonical_of_[o.value()]);
  }
  Reduced reduced = reduce_with_mode(canonical_form(), mapped, engine, maximal_fusion);
  PackedNodeMap by_store(canonical_of_.size());
  for (uint64_t s = 0; s < canonical_of_.size(); ++s) by_store.copy(s, reduced.node_map, canonical_of_[s].value());
  reduced.node_map = std::move(by_store);
  return reduced;
}

}  // namespace velmora
