// GraphStore: the interned, mutex-guarded arena of IR nodes, with output marks
// and the provenance map of a reduced store. Ids are dense, start at 0 and only
// ever point backwards, so the arena is in topological order.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/id_index.h"
#include "base/panic.h"
#include "base/poison_mutex.h"
#include "base/result.h"
#include "node/node.h"
#include "store/arena.h"

namespace velmora {

// An id that is not in the store.
struct BadNodeId {
  NodeId id{};
  friend bool operator==(const BadNodeId&, const BadNodeId&) = default;
};
// Written as "BadNodeId(7)".
std::ostream& operator<<(std::ostream& out, const BadNodeId& e);

// Where a node of an unreduced graph landed: the reduced node computing it and,
// for a Stage, the member index.
struct Placement {
  NodeId node{};
  std::optional<uint64_t> member;
  friend bool operator==(const Placement&, const Placement&) = default;
};
using NodeMap = std::vector<std::optional<Placement>>;

// A node map in one word a node: the reduced id in the low half and the
// member index plus one (0 for none) in the high half, or all ones for a node
// that landed nowhere. Store ids and member indices stay below 2^32 - 1.
class PackedNodeMap {
 public:
  PackedNodeMap() = default;
  explicit PackedNodeMap(std::size_t n) : words_(n, kNowhere) {}

  [[nodiscard]] std::size_t size() const { return words_.size(); }
  [[nodiscard]] bool empty() const { return words_.empty(); }
  [[nodiscard]] std::optional<Placement> operator[](std::size_t i) const {
    const uint64_t w = words_[i];
    if (w == kNowhere) return std::nullopt;
    const uint64_t member = w >> 32;
    return Placement{NodeId(w & 0xFFFFFFFFu), member == 0 ? std::nullopt : std::optional<uint64_t>(member - 1)};
  }
  void set(std::size_t i, NodeId node, std::optional<uint64_t> member) {
    words_[i] = node.value() | (member ? *member + 1 : 0) << 32;
  }
  // Copies entry `from` of `other` to entry `i`.
  void copy(std::size_t i, const PackedNodeMap& other, std::size_t from) {
    at(words_, i) = at(other.words_, from);
  }
  [[nodiscard]] NodeMap unpack() const;

  friend bool operator==(const PackedNodeMap&, const PackedNodeMap&) = default;
  friend bool operator==(const PackedNodeMap& a, const NodeMap& b) { return a.unpack() == b; }

 private:
  static constexpr uint64_t kNowhere = ~uint64_t{0};
  std::vector<uint64_t> words_;
};

// A consistent picture of a store: its first `nodes.size()` nodes (a view,
// since nodes never change once interned) and a copy of its marks, both
// taken under one lock. Valid while the store lives.
struct Snapshot {
  NodesView nodes;
  std::vector<NodeId> outputs;
};

inline constexpr const char* kStorePoisoned = "velmora-core store mutex poisoned";

class GraphStore {
 public:
  GraphStore() = default;
  GraphStore(const GraphStore&) = delete;
  GraphStore& operator=(const GraphStore&) = delete;

  // The id of the equal stored key, or a new id. Inputs are validated first.
  // A failed allocation throws and leaves the store as it was.
  Result<NodeId, BadNodeId> intern(const NodeKey& key);
  // The same for a key already prepared (made and hashed without the lock).
  Result<NodeId, BadNodeId> intern(const NodeArena::Prepared& key);
  // Interns the key `write(NodeArena::KeyWriter&)` writes; nullopt, with
  // the store unchanged, when it returns false (the writer or the caller gave
  // up). Takes no lock: the caller must keep every other thread out of the
  // store until this returns (with a GIL, by holding it, as no thread works
  // in a store without it), and `write` must not call back into the store.
  template <typename Write>
  std::optional<NodeId> intern_written(NodeKey::Kind kind, Write&& write);
  // Marks `id` as an output once; later marks of it change nothing.
  Status<BadNodeId> mark_output(NodeId id);

  [[nodiscard]] uint64_t node_count() const;
  [[nodiscard]] std::vector<NodeId> outputs() const;
  [[nodiscard]] NodeMap node_map() const;
  // All nodes and the marks, taken under one lock.
  [[nodiscard]] Snapshot snapshot() const;
  // The nodes with ids from min(start, n) to n - 1.
  [[nodiscard]] NodesView snapshot_from(NodeId start) const;
  // Written once, when a reduced store is built.
  void set_node_map(PackedNodeMap map);

  // Graphviz text, rendered under the lock.
  [[nodiscard]] std::string to_dot() const;

 private:
  friend class StoreBuilder;
  friend struct StoreForTest;  // reaches the poisoning path

  mutable PoisonMutex mutex_{kStorePoisoned};
  NodeArena nodes_;
  std::vector<NodeId> outputs_;
  IdIndex marked_;  // the ids in outputs_, so marking stays O(1)
  PackedNodeMap node_map_;
};

// Fills a new store that no other thread can reach yet, such as one being read
// from a blob or built by a reduction, without taking its lock, which would
// guard nothing; `finish` hands the store over. Views of its nodes stay valid
// after that.
class StoreBuilder {
 public:
  StoreBuilder() : store_(std::make_unique<GraphStore>()) {}

  // As GraphStore::intern.
  Result<NodeId, BadNodeId> intern(const NodeArena::Prepared& key);
  // For keys known to be distinct: appends without a lookup, and
  // `index_appended` indexes them all at once at the end (giving the first
  // that equals a node before it after all: the store is then to be dropped).
  // See `NodeArena::append_unindexed`.
  Result<NodeId, BadNodeId> append(const NodeArena::Prepared& key);
  // The same for a key written against `arena()`, whose inputs the writer
  // checked.
  NodeId append(NodeArena::KeyWriter& key) { return key.append_unindexed(store_->nodes_); }
  [[nodiscard]] const NodeArena& arena() const { return store_->nodes_; }
  [[nodiscard]] std::optional<NodeId> index_appended() { return store_->nodes_.index_appended(); }
  // The id of a text in the store, for keys' `text_ids`; none when it
  // holds no such text.
  [[nodiscard]] TextId find_text(std::string_view s, uint32_t hash) const {
    return store_->nodes_.find_text(s, hash);
  }
  // Starts fetching what appending `key` will probe, for a caller that has
  // other work to do meanwhile.
  void prefetch_parts(const NodeArena::Prepared& key) const { store_->nodes_.prefetch_parts(key); }
  // Room for `n` more nodes, for a caller that knows how many it will intern.
  void reserve(size_t n) { store_->nodes_.reserve(n); }
  // Room for `n` more nodes to append.
  void reserve_appended(size_t n) { store_->nodes_.reserve_appended(n); }
  Status<BadNodeId> mark_output(NodeId id) { return store_->mark_output(id); }
  // The nodes with ids from min(start, n) to n - 1.
  [[nodiscard]] NodesView nodes_from(NodeId start) const;

  [[nodiscard]] std::unique_ptr<GraphStore> finish() && { return std::move(store_); }

 private:
  std::unique_ptr<GraphStore> store_;
};

template <typename Write>
std::optional<NodeId> GraphStore::intern_written(NodeKey::Kind kind, Write&& write) {
  // A poisoned store's index may be half-changed: not even read it.
  if (mutex_.poisoned()) panic(kStorePoisoned);
  NodeArena::KeyWriter w(nodes_, kind);
  if (!write(w)) return std::nullopt;
  PoisonGuard guard(mutex_, PoisonGuard::kStepsUnlocked);  // only the step below can throw
  return guard.sparing_allocation_failures([&] { return w.finish(nodes_).first; });
}

// DOT rendering of a node list and its marks (the store calls it under lock).
[[nodiscard]] std::string render_dot(const NodesView& nodes, const std::vector<NodeId>& outputs);

}  // namespace velmora
