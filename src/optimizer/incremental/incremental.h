// IncrementalReducer: keeps a canonical form of a growing store. Each step
// consumes only the nodes added since the last one, applying identity
// elimination, commutativity deduplication and hash-consing on the spot;
// finalize runs the reduction pipeline over that form.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/result.h"
#include "node/node.h"
#include "optimizer/engine/engine.h"
#include "optimizer/pipeline.h"
#include "store/store.h"

namespace velmora {

class IncrementalReducer {
 public:
  IncrementalReducer() = default;
  IncrementalReducer(const IncrementalReducer&) = delete;
  IncrementalReducer& operator=(const IncrementalReducer&) = delete;

  // Consumes `delta`: the store's nodes from the watermark on, in id order.
  // Returns the number consumed, or the first input id not yet consumed (the
  // nodes before it stay consumed, with no work counted for the call). An
  // allocation failure throws with the nodes before the failed one consumed
  // and counted, and nothing of the failed one changed.
  Result<uint64_t, BadNodeId> step(const NodesView& delta);
  // Reduces the canonical form against `outputs` (store ids) and re-indexes the
  // provenance by store id. Does not change the reducer.
  [[nodiscard]] Result<Reduced, BadNodeId> finalize(const std::vector<NodeId>& outputs,
                                                    const RewriteEngine& engine,
                                                    bool maximal_fusion) const;

  [[nodiscard]] uint64_t watermark() const { return canonical_of_.size(); }
  [[nodiscard]] uint64_t total_work() const { return total_work_; }
  [[nodiscard]] uint64_t canonical_count() const { return canonical_form_.size(); }
  [[nodiscard]] NodesView canonical_form() const { return canonical_form_.view(0, canonical_form_.size()); }
  [[nodiscard]] const std::vector<NodeId>& canonical_of() const { return canonical_of_; }

 private:
  Result<uint64_t, BadNodeId> consume(const NodesView& delta);

  // The canonical form and its hash-cons table: each canonical key is stored once.
  NodeArena canonical_form_;
  std::vector<NodeId> canonical_of_;
  uint64_t total_work_ = 0;
};

}  // namespace velmora
