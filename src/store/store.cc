#include "store/store.h"

#include <algorithm>
#include <ostream>

#include "absl/hash/hash.h"

namespace velmora {

std::ostream& operator<<(std::ostream& out, const BadNodeId& e) {
  return out << "BadNodeId(" << e.id << ")";
}

Result<NodeId, BadNodeId> GraphStore::intern(NodeKey key) {
  PoisonGuard guard(mutex_);
  const NodeId n = nodes_.size();
  for (NodeId input : key.inputs()) {
    if (input >= n) return Err(BadNodeId{input});
  }
  return nodes_.intern(std::move(key)).first;
}

void GraphStore::reserve(size_t n) {
  PoisonGuard guard(mutex_);
  nodes_.reserve(n);
}

Status<BadNodeId> GraphStore::mark_output(NodeId id) {
  PoisonGuard guard(mutex_);
  if (id >= nodes_.size()) return Err(BadNodeId{id});
  if (marked_.contains(id)) return {};
  outputs_.push_back(id);
  try {
    marked_.insert(id);
  } catch (...) {
    outputs_.pop_back();  // keep the list and the set in step
    throw;
  }
  return {};
}

uint64_t GraphStore::node_count() const {
  PoisonGuard guard(mutex_);
  return nodes_.size();
}

std::vector<NodeId> GraphStore::outputs() const {
  PoisonGuard guard(mutex_);
  return outputs_;
}

NodeMap GraphStore::node_map() const {
  PoisonGuard guard(mutex_);
  return node_map_;
}

Snapshot GraphStore::snapshot() const {
  PoisonGuard guard(mutex_);
  return Snapshot{nodes_.items(), outputs_};
}

std::vector<NodeKey> GraphStore::snapshot_from(NodeId start) const {
  PoisonGuard guard(mutex_);
  const auto& nodes = nodes_.items();
  auto first = nodes.begin() + static_cast<std::ptrdiff_t>(std::min<NodeId>(start, nodes.size()));
  return std::vector<NodeKey>(first, nodes.end());
}

void GraphStore::set_node_map(NodeMap map) {
  PoisonGuard guard(mutex_);
  node_map_ = std::move(map);
}

std::string GraphStore::to_dot() const {
  PoisonGuard guard(mutex_);
  return render_dot(nodes_.items(), outputs_);
}

}  // namespace velmora
