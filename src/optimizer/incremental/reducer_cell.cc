#include "optimizer/incremental/reducer_cell.h"

namespace velmora {

// Consumed ids are the ids of one store, so once there are any, another
// store is refused before anything changes. The store is remembered before
// stepping: a step that fails part-way has consumed from it all the same.
Result<uint64_t, FeedError> ReducerCell::consume_lock_held(
    const std::shared_ptr<const GraphStore>& store) {
  const bool other = fed_.owner_before(store) || store.owner_before(fed_);
  if (core_.watermark() > 0 && other) return Err(FeedError(OtherStore{}));
  const NodesView delta = store->snapshot_from(NodeId(core_.watermark()));
  if (!delta.empty()) fed_ = store;
  auto consumed = core_.step(delta);
  if (!consumed) return Err(FeedError(consumed.error()));
  return *consumed;
}

Result<uint64_t, FeedError> ReducerCell::step(const std::shared_ptr<const GraphStore>& store) {
  PoisonGuard lock(mutex_, PoisonGuard::kSteps);
  return lock.sparing_allocation_failures([&] { return consume_lock_held(store); });
}

Result<ReducedStore, FeedError> ReducerCell::finalize(const std::shared_ptr<const GraphStore>& store,
                                                      const std::vector<NodeId>& outputs,
                                                      const RewriteEngine& engine, bool maximal_fusion) {
  PoisonGuard lock(mutex_, PoisonGuard::kSteps);
  // Past the consumption nothing changes the reducer, and the new store is
  // dropped whole when building it fails.
  return lock.sparing_allocation_failures([&]() -> Result<ReducedStore, FeedError> {
    auto consumed = consume_lock_held(store);
    if (!consumed) return Err(consumed.error());
    auto reduced = core_.finalize(outputs, engine, maximal_fusion);
    if (!reduced) return Err(FeedError(reduced.error()));
    return from_reduced(std::move(reduced).value());
  });
}

}  // namespace velmora
