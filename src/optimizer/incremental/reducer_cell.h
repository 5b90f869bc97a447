// ReducerCell: an incremental reducer behind the poisoning mutex that
// serializes every call on it, fed from one store. Each call holds the
// cell's lock throughout and takes the store's only to copy the delta, so
// the lock order is always cell, then store.
//
// Failure policy, the store's own: a call that fails to allocate
// (std::bad_alloc, std::length_error) leaves the reducer consistent and
// usable. A step consumes node by node, each all or nothing, so after a
// failure the watermark stands at a node boundary just past the nodes it
// consumed, and their work is counted (total_work stays equal to the
// watermark); finalize changes nothing but that consumption. Going on from
// there gives exactly what the call would have given. Only a broken
// invariant (a panic, or any other exception) poisons the cell, for good:
// every later call then panics with kReducerPoisoned.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <variant>
#include <vector>

#include "base/poison_mutex.h"
#include "base/result.h"
#include "optimizer/engine/engine.h"
#include "optimizer/incremental/incremental.h"
#include "optimizer/pipeline.h"
#include "store/store.h"

namespace velmora {

inline constexpr const char* kReducerPoisoned = "incremental reducer poisoned";

// A store other than the one the reducer has consumed nodes from.
struct OtherStore {
  friend bool operator==(const OtherStore&, const OtherStore&) = default;
};
using FeedError = std::variant<BadNodeId, OtherStore>;

class ReducerCell {
 public:
  ReducerCell() = default;
  ReducerCell(const ReducerCell&) = delete;
  ReducerCell& operator=(const ReducerCell&) = delete;

  // Consumes the nodes of `store` from the watermark on; returns how many.
  // Once it has consumed any, the reducer refuses every other store.
  [[nodiscard]] Result<uint64_t, FeedError> step(const std::shared_ptr<const GraphStore>& store);
  // Consumes the rest of `store`, then reduces the canonical form against
  // `outputs` (store ids, order and duplicates kept) into a new store.
  [[nodiscard]] Result<ReducedStore, FeedError> finalize(const std::shared_ptr<const GraphStore>& store,
                                                         const std::vector<NodeId>& outputs,
                                                         const RewriteEngine& engine, bool maximal_fusion);

  // `f(reducer)` under the lock, for a consistent look at more than one part.
  template <typename F>
  decltype(auto) read(F&& f) const {
    PoisonGuard lock(mutex_, PoisonGuard::kReader);
    return std::invoke(std::forward<F>(f), std::as_const(core_));
  }
  [[nodiscard]] uint64_t watermark() const { return read(&IncrementalReducer::watermark); }
  [[nodiscard]] uint64_t total_work() const { return read(&IncrementalReducer::total_work); }
  [[nodiscard]] uint64_t canonical_count() const { return read(&IncrementalReducer::canonical_count); }

 private:
  Result<uint64_t, FeedError> consume_lock_held(const std::shared_ptr<const GraphStore>& store);

  mutable PoisonMutex mutex_{kReducerPoisoned};
  IncrementalReducer core_;
  // The store its nodes came from, once it has consumed any; weak, so that
  // the cell keeps no store alive.
  std::weak_ptr<const GraphStore> fed_;
};

}  // namespace velmora
