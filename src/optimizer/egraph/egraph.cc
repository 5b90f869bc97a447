#include "optimizer/egraph/egraph.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "base/hash_key.h"
#include "base/panic.h"

namespace velmora::egraph {

uint32_t EGraph::content_hash(const View& v) {
  return v.children.size() <= 2 ? SmallMemo::hash32(small_key(v)) : wide_hash(v);
}

uint32_t EGraph::wide_hash(const View& v) {
  KeyedMixer mix(v.op.id());
  mix(v.children.size());
  for (ClassId c : v.children) mix(index_of(c));
  return mix.hash32();
}

bool EGraph::same(const View& a, const View& b) {
  if (a.op != b.op || a.children.size() != b.children.size()) return false;
  for (size_t k = 0; k < a.children.size(); ++k) {
    if (a.children[k] != b.children[k]) return false;
  }
  return true;
}

EGraph::EGraph() { child_begin_.push_back(0); }

void EGraph::reserve(size_t nodes, size_t children) {
  node_room_ = 0;  // recounted by the next add
  op_.reserve(nodes);
  child_begin_.reserve(nodes + 1);
  children_.reserve(children);
  next_in_class_.reserve(nodes);
  state_.reserve(nodes);
  classes_of_.reserve(nodes);
  use_node_.reserve(children);
  use_next_.reserve(children);
  memo_small_.reserve((nodes >> kBlockBits) + 1);  // blocks fill on demand
}

void EGraph::check_not_frozen() const {
  if (frozen_) panic("e-graph is frozen");
}

void EGraph::freeze() {
  if (!pending_.empty() || paths_dirty_) panic("freezing an e-graph that needs rebuilding");
  frozen_ = true;
  // Assigned fresh vectors: `v = {}` would assign an empty list and keep the
  // memory.
  next_in_class_ = BigVector<ENodeId>();
  state_ = BigVector<uint8_t>();
  use_node_ = BigVector<ENodeId>();
  use_next_ = BigVector<uint32_t>();
  global_ops_ = std::vector<OpIndex>();
  memo_small_ = std::vector<WideMemo>();
  memo_wide_ = WideMemo();
  pending_ = std::vector<ENodeId>();
  scratch_ = std::vector<ClassId>();
}

void EGraph::bad_class(ClassId c) const {
  panic("no e-class " + std::to_string(index_of(c)) + " in an e-graph of " + std::to_string(classes_of_.size()));
}

ClassId EGraph::root(ClassId c) {
  while (classes_of_[index_of(c)].parent != c) {
    ClassId& up = classes_of_[index_of(c)].parent;
    up = classes_of_[index_of(up)].parent;
    c = up;
  }
  return c;
}

namespace {
// Room for `more` entries past the size, growing geometrically.
template <typename V>
void room(V& v, size_t more) {
  if (v.capacity() - v.size() < more) v.reserve(std::max(v.size() + more, 2 * v.capacity()));
}
}  // namespace

void EGraph::make_room(Symbol op, size_t arity) {
  if (op_.size() >= max_nodes_ || children_.size() + arity > max_children_) panic("e-graph is full");
  if (!op.is_local()) {
    if (op.id() >= global_ops_.size()) global_ops_.resize(size_t{op.id()} + 1);
    room(global_ops_[op.id()].nodes, 1);
  }
  if (op_.size() < node_room_ && children_.size() + arity <= child_room_) return;
  room(op_, 1);
  room(child_begin_, 1);
  room(next_in_class_, 1);
  room(state_, 1);
  room(classes_of_, 1);
  room(children_, arity);
  room(use_node_, arity);
  room(use_next_, arity);
  node_room_ = std::min({op_.capacity(), child_begin_.capacity() - 1, next_in_class_.capacity(), state_.capacity(),
                         classes_of_.capacity()});
  child_room_ = std::min({children_.capacity(), use_node_.capacity(), use_next_.capacity()});
}

ENodeId EGraph::make_node(Symbol op) {
  const ENodeId n{static_cast<uint32_t>(op_.size())};
  op_.push_back(op);
  for (ClassId c : scratch_) {
    const auto u = static_cast<uint32_t>(use_node_.size());
    ClassRecord& r = classes_of_[index_of(c)];
    use_node_.push_back(n);
    use_next_.push_back(r.uses_head);
    r.uses_head = u;
    ++r.use_count;
  }
  children_.insert(children_.end(), scratch_.begin(), scratch_.end());
  child_begin_.push_back(static_cast<uint32_t>(children_.size()));
  next_in_class_.push_back(n);
  if (!op.is_local()) {
    const auto arity = static_cast<uint32_t>(scratch_.size());
    OpIndex& index = global_ops_[op.id()];
    if (index.nodes.empty()) {
      index.arity = arity;
    } else if (index.arity != arity) {
      index.mixed_arity = true;
    }
    index.nodes.push_back(n);
    ++index.live;
  }
  state_.push_back(epoch_);
  classes_of_.push_back(ClassRecord{founded(n)});
  ++live_nodes_;
  ++classes_;
  return n;
}

ClassId EGraph::add(Symbol op, std::span<const ClassId> children) {
  check_not_frozen();
  scratch_.clear();
  for (ClassId c : children) scratch_.push_back(root(checked(c)));
  const View v{op, scratch_};
  uint32_t hash;
  WideMemo* table;
  if (scratch_.size() <= 2) {
    const SmallKey key = small_key(v);
    hash = SmallMemo::hash32(key);
    table = &block(block_of(key));
  } else {
    hash = wide_hash(v);
    table = &memo_wide_;
  }
  WideMemo& memo = *table;
  if (const uint32_t q = memo.find(hash, [&](uint32_t m) { return same(view(ENodeId{m}), v); });
      q != WideMemo::kMissing) {
    return root(founded(ENodeId{q}));
  }
  // Everything that may fail is done before the e-node is recorded anywhere.
  make_room(op, scratch_.size());
  memo.reserve(memo.size() + 1);
  const ENodeId n = make_node(op);
  memo.insert(hash, index_of(n), [](uint32_t) { return false; });
  return founded(n);
}

bool EGraph::merge(ClassId a, ClassId b) {
  check_not_frozen();
  a = root(checked(a));
  b = root(checked(b));
  if (a == b) return false;
  // The class with fewer uses is absorbed, so each use entry is revisited only
  // when its list at least doubles.
  ClassRecord* ra = &classes_of_[index_of(a)];
  ClassRecord* rb = &classes_of_[index_of(b)];
  if (ra->use_count < rb->use_count || (ra->use_count == rb->use_count && b < a)) {
    std::swap(a, b);
    std::swap(ra, rb);
  }
  rb->parent = a;
  if (rb->uses_head != kNoId) {
    uint32_t last = rb->uses_head;
    for (uint32_t u = rb->uses_head; u != kNoId; u = use_next_[u]) {
      if (live(use_node_[u])) pending_.push_back(use_node_[u]);
      last = u;
    }
    // b's list goes in front of a's.
    use_next_[last] = ra->uses_head;
    ra->uses_head = rb->uses_head;
    rb->uses_head = kNoId;
  }
  ra->use_count += rb->use_count;
  // Roots are founders, so their e-node lists start at their own index.
  std::swap(next_in_class_[index_of(a)], next_in_class_[index_of(b)]);
  --classes_;
  paths_dirty_ = true;
  return true;
}

WideMemo& EGraph::new_block(size_t b) {
  if (b >= memo_small_.size()) memo_small_.resize(b + 1);
  WideMemo& memo = memo_small_[b];
  memo.reserve(size_t{1} << kBlockBits);  // about one e-node per class
  return memo;
}

WideMemo& EGraph::memo_for(const View& v) {
  return v.children.size() > 2 ? memo_wide_ : block(block_of(small_key(v)));
}

ENodeId EGraph::memo_insert(ENodeId n) {
  const View v = view(n);
  return ENodeId{memo_for(v).insert(content_hash(v), index_of(n),
                                    [&](uint32_t m) { return same(view(ENodeId{m}), v); })};
}

void EGraph::memo_erase(ENodeId n) {
  const View v = view(n);
  if (v.children.size() > 2) {
    memo_wide_.erase(content_hash(v), index_of(n));
  } else if (const size_t b = block_of(small_key(v)); b < memo_small_.size()) {
    memo_small_[b].erase(content_hash(v), index_of(n));
  }
}

void EGraph::kill(ENodeId n) {
  state_[index_of(n)] |= kDead;
  --live_nodes_;
  if (const Symbol s = op(n); !s.is_local()) --global_ops_[s.id()].live;
}

const EGraph::OpIndex* EGraph::op_index(Symbol op) const {
  const uint32_t k = op.id();
  return !op.is_local() && k < global_ops_.size() && !global_ops_[k].nodes.empty() ? &global_ops_[k] : nullptr;
}

std::optional<size_t> EGraph::count_with_op(Symbol op, uint32_t arity) const {
  const OpIndex* index = op_index(op);
  if (index == nullptr) return 0;
  if (index->mixed_arity) return std::nullopt;
  return index->arity == arity ? index->live : 0;
}

void EGraph::canonicalize_children(ENodeId n) {
  const uint32_t i = index_of(n);
  for (uint32_t k = child_begin_[i]; k < child_begin_[i + 1]; ++k) children_[k] = root(children_[k]);
}

void EGraph::prefetch_pending(const std::vector<ENodeId>& work, size_t w) const {
  // Pending e-nodes lie anywhere. Three stages ahead: an e-node's own
  // entries, then its children, then its children's classes and its slot in
  // the hash-cons table.
  constexpr size_t kAhead = 8;
  if (w + 3 * kAhead < work.size()) {
    const uint32_t n = index_of(work[w + 3 * kAhead]);
    __builtin_prefetch(&state_[n]);
    __builtin_prefetch(&op_[n]);
    __builtin_prefetch(&child_begin_[n]);
  }
  if (w + 2 * kAhead < work.size()) {
    __builtin_prefetch(&children_[child_begin_[index_of(work[w + 2 * kAhead])]]);
  }
  if (w + kAhead < work.size()) {
    const ENodeId n = work[w + kAhead];
    const auto kids = children(n);
    for (ClassId c : kids) prefetch_class(c);
    if (kids.size() <= 2) {
      const SmallKey key = small_key(view(n));
      if (const size_t b = block_of(key); b < memo_small_.size()) memo_small_[b].prefetch(SmallMemo::hash32(key));
    }
  }
}

void EGraph::rebuild() {
  check_not_frozen();
  std::vector<ENodeId> work;
  while (!pending_.empty()) {
    work.swap(pending_);
    for (size_t w = 0; w < work.size(); ++w) {
      prefetch_pending(work, w);
      const ENodeId p = work[w];
      if (!live(p)) continue;
      memo_erase(p);
      canonicalize_children(p);
      state_[index_of(p)] = epoch_;  // live, with new children
      if (const ENodeId q = memo_insert(p); q != p) {
        // Congruent to a live e-node: keep that one and join the classes.
        kill(p);
        merge(founded(p), founded(q));
      }
    }
    work.clear();
  }
  if (paths_dirty_) {
    // Most classes are roots or point at one: they are only read, so the
    // pass does not dirty every record.
    for (uint32_t i = 0; i < classes_of_.size(); ++i) {
      const ClassId up = classes_of_[i].parent;
      if (index_of(up) == i || classes_of_[index_of(up)].parent == up) continue;
      classes_of_[i].parent = root(up);
    }
    paths_dirty_ = false;
  }
}

}  // namespace velmora::egraph
