#include "optimizer/egraph/egraph.h"

#include <algorithm>
#include <string>
#include <utility>

#include "base/panic.h"

namespace velmora::egraph {

size_t EGraph::MemoHash::hash(const View& v) {
  uint64_t h = v.op.id() * 0x9E3779B97F4A7C15ull + v.children.size();
  for (ClassId c : v.children) {
    h = (h ^ c) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
  }
  h ^= h >> 32;
  return static_cast<size_t>(h);
}

bool EGraph::MemoEq::same(const View& a, const View& b) {
  return a.op == b.op && a.children.size() == b.children.size() &&
         std::equal(a.children.begin(), a.children.end(), b.children.begin());
}

EGraph::EGraph() : memo_(0, MemoHash{this}, MemoEq{this}) { child_begin_.push_back(0); }

void EGraph::reserve(size_t nodes, size_t children) {
  op_.reserve(nodes);
  child_begin_.reserve(nodes + 1);
  children_.reserve(children);
  home_.reserve(nodes);
  next_in_class_.reserve(nodes);
  next_with_op_.reserve(nodes);
  flags_.reserve(nodes);
  parent_.reserve(nodes);
  use_count_.reserve(nodes);
  uses_head_.reserve(nodes);
  use_node_.reserve(children);
  use_next_.reserve(children);
  memo_.reserve(nodes);
}

void EGraph::bad_class(ClassId c) const {
  panic("no e-class " + std::to_string(c) + " in an e-graph of " + std::to_string(parent_.size()));
}

ClassId EGraph::root(ClassId c) {
  while (parent_[c] != c) {
    parent_[c] = parent_[parent_[c]];
    c = parent_[c];
  }
  return c;
}

NodeId EGraph::make_node(Symbol op, uint8_t flags) {
  if (op_.size() >= kNoId - 1) panic("e-graph is full");
  const auto n = static_cast<NodeId>(op_.size());
  op_.push_back(op);
  for (ClassId c : scratch_) {
    const auto u = static_cast<uint32_t>(use_node_.size());
    use_node_.push_back(n);
    uint32_t& head = uses_head_[c];
    if (head == kNoId) {
      use_next_.push_back(u);
      head = u;
    } else {
      use_next_.push_back(use_next_[head]);
      use_next_[head] = u;
    }
    ++use_count_[c];
  }
  children_.insert(children_.end(), scratch_.begin(), scratch_.end());
  child_begin_.push_back(static_cast<uint32_t>(children_.size()));
  home_.push_back(n);
  next_in_class_.push_back(n);
  auto [head, inserted] = op_head_.try_emplace(op, n);
  next_with_op_.push_back(inserted ? kNoId : head->second);
  head->second = n;
  flags_.push_back(flags);
  parent_.push_back(n);
  use_count_.push_back(0);
  uses_head_.push_back(kNoId);
  ++live_nodes_;
  ++classes_;
  return n;
}

ClassId EGraph::add(Symbol op, std::span<const ClassId> children) {
  scratch_.clear();
  for (ClassId c : children) scratch_.push_back(root(checked(c)));
  if (auto it = memo_.find(View{op, scratch_}); it != memo_.end()) return root(home_[*it]);
  const NodeId n = make_node(op, 0);
  memo_.insert(n);
  return n;
}

ClassId EGraph::add_unique(Symbol op, std::span<const ClassId> children) {
  scratch_.clear();
  for (ClassId c : children) scratch_.push_back(root(checked(c)));
  return make_node(op, kUnique);
}

bool EGraph::merge(ClassId a, ClassId b) {
  a = root(checked(a));
  b = root(checked(b));
  if (a == b) return false;
  // The class with fewer uses is absorbed, so each use entry is revisited only
  // when its list at least doubles.
  if (use_count_[a] < use_count_[b] || (use_count_[a] == use_count_[b] && b < a)) std::swap(a, b);
  parent_[b] = a;
  if (uses_head_[b] != kNoId) {
    const uint32_t first = uses_head_[b];
    uint32_t u = first;
    do {
      if (live(use_node_[u])) pending_.push_back(use_node_[u]);
      u = use_next_[u];
    } while (u != first);
    if (uses_head_[a] == kNoId) {
      uses_head_[a] = first;
    } else {
      std::swap(use_next_[uses_head_[a]], use_next_[first]);
    }
    uses_head_[b] = kNoId;
  }
  use_count_[a] += use_count_[b];
  std::swap(next_in_class_[a], next_in_class_[b]);
  --classes_;
  paths_dirty_ = true;
  return true;
}

void EGraph::canonicalize_children(NodeId n) {
  for (uint32_t k = child_begin_[n]; k < child_begin_[n + 1]; ++k) children_[k] = root(children_[k]);
}

void EGraph::rebuild() {
  std::vector<NodeId> work;
  while (!pending_.empty()) {
    work.swap(pending_);
    for (NodeId p : work) {
      if (!live(p)) continue;
      if (unique(p)) {
        canonicalize_children(p);
        continue;
      }
      if (auto it = memo_.find(p); it != memo_.end() && *it == p) memo_.erase(it);
      canonicalize_children(p);
      auto [it, inserted] = memo_.insert(p);
      if (!inserted) {
        // Congruent to a live e-node: keep that one and join the classes.
        const NodeId q = *it;
        flags_[p] |= kDead;
        --live_nodes_;
        merge(home_[p], home_[q]);
      }
    }
    work.clear();
  }
  if (paths_dirty_) {
    for (ClassId c = 0; c < parent_.size(); ++c) parent_[c] = root(c);
    paths_dirty_ = false;
  }
}

}  // namespace velmora::egraph
