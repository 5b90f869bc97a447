// The e-graph: e-classes of equal terms over e-nodes (a symbol and child
// classes), with hash-consing, a union-find over class ids and deferred
// rebuilding.
//
// Invariants, whenever `clean()` holds (after `rebuild()`):
// - every live e-node's children are canonical class ids;
// - no two live e-nodes have the same symbol and children (hash-consing and
//   congruence closure both hold);
// - every union-find path has length at most one, so `find` is O(1).
// Between a `merge` and the next `rebuild` only the union-find is current;
// searches must not run then.
//
// Storage is flat: an e-node is an index into parallel arrays of 32-bit
// words (and one byte of state), a class id is the index of the e-node that founded the class, and
// the e-nodes of a class and the uses of a class (e-nodes that have it as a
// child) are linked lists threaded through those arrays. Only the symbols
// that patterns can name keep a list of their e-nodes. The hash-cons tables
// hold an e-node's hash beside its id. Adding an e-node allocates nothing
// beyond amortised vector growth.
//
// Not thread-safe: one e-graph belongs to one piece of work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "optimizer/egraph/big_alloc.h"
#include "optimizer/egraph/small_memo.h"
#include "optimizer/egraph/symbol.h"
#include "optimizer/egraph/wide_memo.h"

namespace velmora::egraph {

// Class ids and e-node ids are separate types, so that passing one for the
// other does not compile; each is a bare 32-bit index underneath.
enum class ClassId : uint32_t {};
enum class ENodeId : uint32_t {};
[[nodiscard]] constexpr uint32_t index_of(ClassId c) { return static_cast<uint32_t>(c); }
[[nodiscard]] constexpr uint32_t index_of(ENodeId n) { return static_cast<uint32_t>(n); }

// The raw index that no id ever has, and the ids that stand for "none".
inline constexpr uint32_t kNoId = std::numeric_limits<uint32_t>::max();
inline constexpr ClassId kNoClass{kNoId};
inline constexpr ENodeId kNoENode{kNoId};

class EGraph {
 public:
  EGraph();
  EGraph(const EGraph&) = delete;  // the hash-cons table points back into this object
  EGraph& operator=(const EGraph&) = delete;

  // Room for `nodes` e-nodes with `children` children in all, to avoid
  // regrowth.
  void reserve(size_t nodes, size_t children);

  // Adds the e-node (op, children) and returns its class: the class of an equal
  // e-node when one exists, otherwise a new class. Children may be any class
  // ids; they are canonicalized first.
  ClassId add(Symbol op, std::span<const ClassId> children);

  // Starts loading the hash-cons slot that `add(op, children)` will probe, so
  // that a loop can overlap the memory latency of many adds.
  void prefetch(Symbol op, std::span<const ClassId> children) const {
    if (children.size() > 2) return;
    const uint32_t c0 = children.empty() ? kNoId : index_of(find(children[0]));
    const uint32_t c1 = children.size() < 2 ? kNoId : index_of(find(children[1]));
    const SmallKey key{op.id(), c0, c1};
    if (const size_t b = block_of(key); b < memo_small_.size()) memo_small_[b].prefetch(SmallMemo::hash32(key));
  }

  // Starts loading what `find(c)` and a use of c read; issued well before
  // `prefetch` of an e-node with child c, whose own probe needs c's root.
  void prefetch_class(ClassId c) const {
    if (index_of(c) < classes_of_.size()) __builtin_prefetch(&classes_of_[index_of(c)]);
  }

  // Joins two classes; true when they were different. Congruence is restored
  // by the next `rebuild`.
  bool merge(ClassId a, ClassId b);
  // Restores the invariants above after merges.
  void rebuild();
  [[nodiscard]] bool clean() const { return pending_.empty() && !paths_dirty_ && !frozen_; }
  // Frees what only adding, merging, rebuilding and searching read, once they
  // are over. Afterwards `find`, `op`, `children`, `founder` and the counts
  // still answer; adding, merging or rebuilding panics, and searching too
  // (the e-graph no longer counts as clean).
  void freeze();

  // The canonical id of a class.
  [[nodiscard]] ClassId find(ClassId c) const {
    if (index_of(c) >= classes_of_.size()) [[unlikely]] bad_class(c);
    while (classes_of_[index_of(c)].parent != c) c = classes_of_[index_of(c)].parent;
    return c;
  }

  [[nodiscard]] size_t num_nodes() const { return live_nodes_; }  // live e-nodes
  [[nodiscard]] size_t num_classes() const { return classes_; }
  // Every e-node id ever created is below this, and so is every class id.
  [[nodiscard]] size_t id_bound() const { return op_.size(); }

  [[nodiscard]] Symbol op(ENodeId n) const { return op_[index_of(n)]; }
  [[nodiscard]] std::span<const ClassId> children(ENodeId n) const {
    return {children_.data() + child_begin_[index_of(n)], children_.data() + child_begin_[index_of(n) + 1]};
  }
  [[nodiscard]] uint32_t arity(ENodeId n) const { return child_begin_[index_of(n) + 1] - child_begin_[index_of(n)]; }
  [[nodiscard]] ClassId class_of(ENodeId n) const { return find(founded(n)); }
  // The e-node that founded class c (it keeps c's id), whatever c's root.
  [[nodiscard]] static ENodeId founder(ClassId c) { return ENodeId{index_of(c)}; }
  [[nodiscard]] bool live(ENodeId n) const { return (state_[index_of(n)] & kDead) == 0; }

  // Epochs mark when e-nodes changed, so that a search can tell which of its
  // matches an earlier search already saw unchanged. `begin_epoch` starts the
  // next one; an e-node records the epoch in which it was made or its
  // children last changed on a rebuild. Epochs stop growing at their maximum,
  // after which everything counts as changed in the last one.
  uint32_t begin_epoch() {
    if (epoch_ < kMaxEpoch) ++epoch_;
    return epoch_;
  }
  [[nodiscard]] uint32_t changed_in(ENodeId n) const { return state_[index_of(n)] & kMaxEpoch; }

  // Calls f(ENodeId) for every live e-node of class c.
  template <typename F>
  void for_each_node_in_class(ClassId c, F&& f) const {
    const ENodeId first = founder(find(c));
    ENodeId n = first;
    do {
      if (live(n)) f(n);
      n = next_in_class_[index_of(n)];
    } while (n != first);
  }
  // Calls f(ENodeId) for every live e-node whose symbol is op, newest first.
  // Only global symbols are indexed: they are the ones patterns name, and a
  // graph may have as many local symbols as e-nodes. A local one lists none.
  template <typename F>
  void for_each_node_with_op(Symbol op, F&& f) const {
    const OpIndex* index = op_index(op);
    if (index == nullptr) return;
    for (size_t k = index->nodes.size(); k-- > 0;) {
      if (live(index->nodes[k])) f(index->nodes[k]);
    }
  }
  // The number of live e-nodes with symbol op and `arity` children when it is
  // known without a scan (all its e-nodes have one child count); 0 for a
  // local symbol.
  [[nodiscard]] std::optional<size_t> count_with_op(Symbol op, uint32_t arity) const;

  // Calls f(ClassId) for every canonical class, in increasing id order.
  template <typename F>
  void for_each_class(F&& f) const {
    for (uint32_t i = 0; i < classes_of_.size(); ++i) {
      if (index_of(classes_of_[i].parent) == i) f(ClassId{i});
    }
  }

 private:
  // An e-node's state, one byte: the dead flag above its epoch. Runs that need
  // more epochs than fit are rare, and past the last one skipping known
  // matches only stops saving work.
  static constexpr uint8_t kDead = uint8_t{1} << 7;
  static constexpr uint8_t kMaxEpoch = kDead - 1;

  // An e-node founds a class whose id is its own index, and stays in it; the
  // class's list of e-nodes starts at its founder.
  static ClassId founded(ENodeId n) { return ClassId{index_of(n)}; }

  // An e-node's content, for looking it up before it exists.
  struct View {
    Symbol op;
    std::span<const ClassId> children;
  };
  // The keyed hash of an e-node's content, and content equality.
  static uint32_t content_hash(const View& v);
  static uint32_t wide_hash(const View& v);
  static bool same(const View& a, const View& b);
  // E-nodes with at most two children (nearly all) hash their three words
  // directly. Children are raw class indices; a missing one is kNoId, which
  // no class id ever is.
  using SmallKey = SmallMemo::Key;
  static_assert(SmallMemo::kMissing == kNoId);
  static SmallKey small_key(const View& v) {
    return {v.op.id(), v.children.empty() ? kNoId : index_of(v.children[0]),
            v.children.size() < 2 ? kNoId : index_of(v.children[1])};
  }
  // Their table is split into blocks by the largest child class id. Inputs
  // are mostly local (children a little older than their parents), so the
  // blocks in use at any moment are few and stay in cache; a plain hash table
  // would miss it on nearly every lookup. Leaves go to block 0.
  static constexpr uint32_t kBlockBits = 10;
  static size_t block_of(const SmallKey& k) {
    uint32_t top = 0;
    if (k.c0 != kNoId) top = k.c0;
    if (k.c1 != kNoId && k.c1 > top) top = k.c1;
    return top >> kBlockBits;
  }
  // The table that holds e-nodes with content v, made on demand.
  WideMemo& memo_for(const View& v);
  WideMemo& block(size_t b) {
    if (b < memo_small_.size() && memo_small_[b].capacity() != 0) [[likely]] return memo_small_[b];
    return new_block(b);
  }
  WideMemo& new_block(size_t b);
  // The e-nodes of one global symbol, and their counts for searches that need
  // only to know how many matches there are.
  struct OpIndex {
    BigVector<ENodeId> nodes;  // in order of creation; none until the first
    uint32_t arity = 0;  // of the first e-node
    bool mixed_arity = false;
    uint32_t live = 0;  // live e-nodes
  };
  // The index of `op`, or nullptr when no e-node has it or it is local.
  [[nodiscard]] const OpIndex* op_index(Symbol op) const;

  // Inserts n, or returns the live e-node that already has its content.
  ENodeId memo_insert(ENodeId n);
  void memo_erase(ENodeId n);
  void kill(ENodeId n);

  [[nodiscard]] View view(ENodeId n) const { return {op_[index_of(n)], children(n)}; }
  ClassId root(ClassId c);  // find with path halving
  [[nodiscard]] ClassId checked(ClassId c) const {
    if (index_of(c) >= classes_of_.size()) [[unlikely]] bad_class(c);
    return c;
  }
  [[noreturn]] void bad_class(ClassId c) const;  // an id this e-graph never handed out
  // Makes room for one more e-node with `arity` children, so that making it
  // cannot fail halfway.
  void make_room(Symbol op, size_t arity);
  ENodeId make_node(Symbol op);  // after make_room
  void canonicalize_children(ENodeId n);
  void prefetch_pending(const std::vector<ENodeId>& work, size_t w) const;

  // Per e-node.
  BigVector<Symbol> op_;
  BigVector<uint32_t> child_begin_;  // one more entry than e-nodes
  BigVector<ClassId> children_;
  BigVector<ENodeId> next_in_class_;  // circular
  BigVector<uint8_t> state_;
  // Per class id, in one record: adding an e-node finds each child's root and
  // then records a use of it, and with a far-away child that is one cache
  // miss rather than one per array.
  struct ClassRecord {
    ClassId parent;
    uint32_t use_count = 0;
    uint32_t uses_head = kNoId;  // the newest use entry, or kNoId
  };
  BigVector<ClassRecord> classes_of_;
  // Use entries: e-node `use_node_[u]` has the class as a child; the next
  // entry of the same class is `use_next_[u]`, kNoId at the end.
  BigVector<ENodeId> use_node_;
  BigVector<uint32_t> use_next_;

  // Global symbols are few and numbered densely from 0.
  std::vector<OpIndex> global_ops_;
  std::vector<WideMemo> memo_small_;  // per block
  WideMemo memo_wide_;  // more than two children
  static_assert(WideMemo::kMissing == kNoId);
  std::vector<ENodeId> pending_;  // e-nodes whose children may have gone stale
  std::vector<ClassId> scratch_;
  uint8_t epoch_ = 0;
  size_t live_nodes_ = 0;
  size_t classes_ = 0;
  bool paths_dirty_ = false;
  bool frozen_ = false;
  // Every per-e-node array has room for this many e-nodes, and every
  // per-child array for this many children, so most adds check only these.
  size_t node_room_ = 0;
  size_t child_room_ = 0;
  void check_not_frozen() const;
  // The most e-nodes and children in all: ids and child offsets are 32-bit,
  // and kNoId is no id. Not constants, so that a test reaches the limits.
  size_t max_nodes_ = kNoId - 1;
  size_t max_children_ = kNoId - 1;
  friend struct EGraphTestPeer;
};

}  // namespace velmora::egraph
