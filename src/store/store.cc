#include "store/store.h"

#include <algorithm>
#include <optional>
#include <ostream>

#include "base/hash_key.h"

namespace velmora {

std::ostream& operator<<(std::ostream& out, const BadNodeId& e) {
  return out << "BadNodeId(" << e.id.value() << ")";
}

// Every operation below that only reads holds the lock as a reader: nothing it
// does can leave the store half-changed, so no failure of it poisons. intern
// and mark_output change the store all at once after their allocations have
// succeeded, so a failed allocation leaves them unpoisoned too.

namespace {

// The first of the key's inputs that is not yet a node of a store of `n`.
std::optional<NodeId> missing_input(const NodeArena::Prepared& key, uint64_t n) {
  for (NodeId input : key.inputs) {
    if (input.value() >= n) return input;
  }
  return std::nullopt;
}

}  // namespace

Result<NodeId, BadNodeId> GraphStore::intern(const NodeKey& key) {
  return intern(NodeArena::prepare(key));  // hashing needs no lock
}

Result<NodeId, BadNodeId> GraphStore::intern(const NodeArena::Prepared& key) {
  nodes_.prefetch_node(key);  // the index slot is a likely cache miss; overlap it with the lock
  PoisonGuard guard(mutex_, PoisonGuard::kSteps);  // only the step below can throw
  if (auto bad = missing_input(key, nodes_.size())) return Err(BadNodeId{*bad});
  return guard.sparing_allocation_failures([&] { return nodes_.intern(key).first; });
}

Result<NodeId, BadNodeId> StoreBuilder::intern(const NodeArena::Prepared& key) {
  NodeArena& nodes = store_->nodes_;
  if (auto bad = missing_input(key, nodes.size())) return Err(BadNodeId{*bad});
  return nodes.intern(key).first;
}

Result<NodeId, BadNodeId> StoreBuilder::append(const NodeArena::Prepared& key) {
  NodeArena& nodes = store_->nodes_;
  if (auto bad = missing_input(key, nodes.size())) return Err(BadNodeId{*bad});
  return nodes.append_unindexed(key);
}

NodesView StoreBuilder::nodes_from(NodeId start) const {
  const NodeArena& nodes = store_->nodes_;
  const uint64_t n = nodes.size();
  return nodes.view(std::min(start.value(), n), n);
}

Status<BadNodeId> GraphStore::mark_output(NodeId id) {
  PoisonGuard guard(mutex_);
  if (id.value() >= nodes_.size()) return Err(BadNodeId{id});
  const NodePos pos = id.pos();
  const uint32_t hash = hash_word(id.value());  // keyed: marks may come from an untrusted blob
  const auto same = [pos](uint32_t marked) { return NodePos(marked) == pos; };
  if (IdIndex::found(marked_.find(hash, same))) return {};
  guard.sparing_allocation_failures([&] {
    // Doubling, so that n marks copy the list O(log n) times, not n.
    if (outputs_.size() == outputs_.capacity()) outputs_.reserve(2 * outputs_.size() + 8);
    marked_.reserve_more(1);
    return 0;
  });
  outputs_.push_back(id);
  marked_.insert(hash, pos.word());
  return {};
}

uint64_t GraphStore::node_count() const {
  PoisonGuard guard(mutex_, PoisonGuard::kReader);
  return nodes_.size();
}

std::vector<NodeId> GraphStore::outputs() const {
  PoisonGuard guard(mutex_, PoisonGuard::kReader);
  return outputs_;
}

NodeMap PackedNodeMap::unpack() const {
  NodeMap out;
  out.reserve(size());
  for (std::size_t i = 0; i < size(); ++i) out.push_back((*this)[i]);
  return out;
}

NodeMap GraphStore::node_map() const {
  PoisonGuard guard(mutex_, PoisonGuard::kReader);
  return node_map_.unpack();
}

Snapshot GraphStore::snapshot() const {
  PoisonGuard guard(mutex_, PoisonGuard::kReader);
  return Snapshot{nodes_.view(0, nodes_.size()), outputs_};
}

NodesView GraphStore::snapshot_from(NodeId start) const {
  PoisonGuard guard(mutex_, PoisonGuard::kReader);
  const uint64_t n = nodes_.size();
  return nodes_.view(std::min(start.value(), n), n);
}

void GraphStore::set_node_map(PackedNodeMap map) {
  PoisonGuard guard(mutex_);
  node_map_ = std::move(map);
}

std::string GraphStore::to_dot() const {
  PoisonGuard guard(mutex_, PoisonGuard::kReader);
  return render_dot(nodes_.view(0, nodes_.size()), outputs_);
}

}  // namespace velmora
