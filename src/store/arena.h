// NodeArena: the compact, append-only, hash-consed node table behind a store.
//
// A node is a 16-byte record holding small ids: its kind, its name (or its
// descriptor), its input count and a pointer to its words. Texts (names,
// parameter names, Str values, descriptor fields, stage member tokens) are
// interned once per arena, and so are descriptors. A node's words are its
// input ids followed by its parameters (or its stage members), encoded with
// string ids, in chunks that never move; most nodes need no allocation of
// their own.
//
// Nothing is ever changed or removed once appended. Appending needs
// exclusive access (the store's lock); a reader that learned the node count
// under that lock may read every node below it without the lock, because
// records, words, texts and descriptors all stay where they were written.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/chunk_pool.h"
#include "base/hash_key.h"
#include "base/id_index.h"
#include "base/panic.h"
#include "base/seg_vector.h"
#include "base/small_vector.h"
#include "base/text_hash.h"
#include "node/ids.h"
#include "node/node.h"
#include "node/record.h"
#include "param/param.h"

namespace velmora {

class NodeArena;

// The hash of a key, mixed from its parts in the key's order: kind; name or
// descriptor texts; inputs; then params or stage members. `PreparedKey::finish`
// mixes a whole key; a builder that converts a key part by part in that order
// mixes each part as it goes, and the two agree by construction.
class KeyHasher {
 public:
  explicit KeyHasher(NodeKey::Kind kind) : mix_(static_cast<uint64_t>(kind) + 1) {}
  // A text's hash (a name, a descriptor field, a member's op) or a word.
  void add(uint64_t w) { mix_(w); }
  void add_inputs(std::span<const NodeId> ids) {
    mix_(ids.size());
    for (NodeId i : ids) mix_(i.value());
  }
  // A param: its name's hash, its kind and its value, a float by its
  // canonical bits and a Str by its text's hash.
  void add_param(uint32_t name_hash, ParamValue::Kind kind, uint64_t bits, uint32_t str_hash) {
    mix_(name_hash);
    mix_(static_cast<uint64_t>(kind));
    mix_(kind == ParamValue::Kind::kFloat ? canonical_float_bits(bits)
         : kind == ParamValue::Kind::kStr ? str_hash
                                          : bits);
  }
  [[nodiscard]] uint32_t end() {
    mix_(0);
    return mix_.hash32();
  }

 private:
  KeyedMixer mix_;
};

// A key made ready for interning without any lock, owning nothing: its
// kind, inputs, texts (with their hashes) in encoding order, parameter
// values or stage member shapes, and the hash of the whole key. A builder
// fills it from a NodeKey (`prepare`) or straight from other storage (a
// blob) and calls `finish`.
//
// Text order: the name (Source, Op, Reduction) or the descriptor's five
// fields and its preprocessing_ref when present (External); then per
// parameter its name and, for a Str, its value; or per stage member its op.
struct PreparedKey {
  struct Param {
    ParamValue::Kind kind;
    uint64_t bits;  // as ParamRef holds it; a Str's text is in `texts`
  };
  NodeKey::Kind kind = NodeKey::Kind::kSource;
  std::span<const NodeId> inputs;
  bool has_preprocessing_ref = false;  // External
  SmallVector<std::string_view, 6> texts;
  SmallVector<uint32_t, 6> text_hashes;
  SmallVector<Param, 4> params;
  SmallVector<StageRef, 4> refs;  // Stage: every member's references, in order
  SmallVector<uint32_t, 4> argc;  // Stage: per member, how many of `refs`
  uint32_t hash = 0;
  // When set, per text its id in the arena the key goes to, or none: a
  // builder interning many keys into its own store skips looking up the
  // texts it has met before.
  const TextId* text_ids = nullptr;

  // The arena keeps a text's length, a stage's member count and a member's
  // argument count in 32-bit words. `as_word` gives `n` as one, or throws
  // std::length_error (a capacity limit, as the arena's others) when it does
  // not fit; every key checks its texts and counts through it before hashing
  // or storing them, so a refused key has changed nothing.
  static constexpr uint64_t kWordMax = 0xFFFFFFFFu;
  [[nodiscard]] static uint32_t as_word(std::size_t n) {
    if (n > kWordMax) [[unlikely]] too_long(n);
    return static_cast<uint32_t>(n);
  }
  // The hash of a text the arena can hold; checked first, since hashing
  // gigabytes is itself a cost.
  [[nodiscard]] static uint32_t hash_text(std::string_view s) {
    (void)as_word(s.size());
    return text_hash(s);
  }

  // Returns the text's hash, which a builder mixing the key as it goes
  // needs next.
  uint32_t add_text(std::string_view s) {
    const uint32_t h = hash_text(s);
    // Built in place from its two words: copying the view whole reads back
    // as one wide load what was just stored as two narrow ones, which stalls.
    texts.emplace_back(s.data(), s.size());
    text_hashes.push_back(h);
    return h;
  }
  // A stage member's op text and how many of its references follow (added
  // with `add_ref`).
  void add_member(std::string_view op, std::size_t refs) {
    (void)as_word(argc.size() + 1);
    const uint32_t n = as_word(refs);
    add_text(op);
    argc.push_back(n);
  }
  void add_param(ParamValue::Kind kind, uint64_t bits) {
    Param& q = params.emplace_back();  // field by field, for the same reason
    q.kind = kind;
    q.bits = bits;
  }
  void add_ref(StageRef r) {
    StageRef& to = refs.emplace_back();
    to.kind = r.kind;
    to.index = r.index;
  }
  // Computes `hash`; call once every field is set.
  void finish();

 private:
  [[noreturn, gnu::cold]] static void too_long(std::size_t n);
};

// Parameters of one record, read in place.
class ParamsView {
 public:
  class iterator {
   public:
    using value_type = ParamRef;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    iterator(const NodeArena* a, TailCursor at) : a_(a), at_(at) {}
    ParamRef operator*() const;
    iterator& operator++();
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const iterator& x, const iterator& y) { return x.at_ == y.at_; }

   private:
    const NodeArena* a_ = nullptr;
    TailCursor at_;
  };

  ParamsView() = default;
  ParamsView(const NodeArena* a, TailCursor first) : a_(a), first_(first) {}
  [[nodiscard]] iterator begin() const { return {a_, first_}; }
  [[nodiscard]] iterator end() const { return {a_, {}}; }
  [[nodiscard]] bool empty() const { return first_.done(); }
  [[nodiscard]] std::size_t size() const;
  [[nodiscard]] ParamMap to_map() const;
  void append_token(std::string& out) const;  // "a=i1;b=sx"
  [[nodiscard]] std::string display() const;  // "{a=1, b=\"x\"}"

 private:
  const NodeArena* a_ = nullptr;
  TailCursor first_;
};

struct DescriptorView {
  std::string_view kind;
  std::string_view content_hash;
  std::string_view framework;
  std::string_view version;
  std::string_view io_schema;
  std::optional<std::string_view> preprocessing_ref;
  [[nodiscard]] PayloadDescriptor to_descriptor() const;
};

// One stage member read in place.
struct MemberView {
  std::string_view op;
  uint32_t argc = 0;
  TailCursor at;  // at this member
  [[nodiscard]] StageRef ref(uint32_t k) const { return at.ref(k); }
};

// One node of an arena.
class NodeView {
 public:
  NodeView() = default;
  NodeView(const NodeArena* a, const NodeRecord* r) : a_(a), r_(r) {}

  [[nodiscard]] NodeKey::Kind kind() const { return r_->kind(); }
  [[nodiscard]] bool is_op() const { return NodeKey::is_op(kind()); }
  [[nodiscard]] InputIds inputs() const { return r_->inputs(); }
  // Name of a Source, Op or Reduction; empty otherwise.
  [[nodiscard]] std::string_view name() const;
  // That name's text id (Source, Op and Reduction only).
  [[nodiscard]] TextId name_id() const { return TextId(r_->part); }
  // Empty for a Stage.
  [[nodiscard]] ParamsView params() const;
  // External only.
  [[nodiscard]] DescriptorView descriptor() const;
  // Stage only.
  [[nodiscard]] uint32_t member_count() const;
  template <typename F>
  void for_each_member(F&& f) const;

  // The node without its inputs (kind, name, params or descriptor, stage
  // members): equal for two nodes of one arena exactly when their tokens
  // (whole keys, for stages and externals) are equal.
  [[nodiscard]] uint32_t template_hash() const;
  [[nodiscard]] bool same_template(const NodeView& o) const;

  [[nodiscard]] std::string token() const;
  void append_token(std::string& out) const;
  [[nodiscard]] std::string label() const;
  [[nodiscard]] NodeKey to_key() const;
  [[nodiscard]] NodeKey with_inputs(Inputs inputs) const;
  // This node with `inputs` instead of its own, ready to intern into any
  // arena; its texts are views of this node's arena and keep their hashes.
  [[nodiscard]] PreparedKey prepare(std::span<const NodeId> inputs) const;

  // The text of string id `id` of this node's arena.
  [[nodiscard]] std::string_view text(TextId id) const;

  friend bool operator==(const NodeView& a, const NodeKey& b) { return a.to_key() == b; }

 private:
  const NodeArena* a_ = nullptr;
  const NodeRecord* r_ = nullptr;
};

// Nodes [begin, end) of an arena: a snapshot's node list or a delta. Copying
// it copies nothing else; it stays valid while the arena lives.
class NodesView {
 public:
  NodesView() = default;
  NodesView(const NodeArena* a, uint64_t begin, uint64_t end) : a_(a), begin_(begin), end_(end) {}

  [[nodiscard]] uint64_t size() const { return end_ - begin_; }
  [[nodiscard]] bool empty() const { return begin_ == end_; }
  // The id of the first node.
  [[nodiscard]] NodeId first_id() const { return NodeId(begin_); }
  // Positions [from, to) of this view, clamped to it.
  [[nodiscard]] NodesView sub(uint64_t from, uint64_t to) const {
    to = std::min(to, size());
    from = std::min(from, to);
    return {a_, begin_ + from, begin_ + to};
  }
  // Inline: every pass over a graph reads its nodes through it.
  [[nodiscard]] NodeView operator[](uint64_t i) const;

  class iterator {
   public:
    using value_type = NodeView;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    iterator(const NodesView* v, uint64_t i) : v_(v), i_(i) {}
    NodeView operator*() const { return (*v_)[i_]; }
    iterator& operator++() {
      ++i_;
      return *this;
    }
    iterator operator++(int) { return {v_, i_++}; }
    friend bool operator==(const iterator& a, const iterator& b) { return a.i_ == b.i_; }

   private:
    const NodesView* v_ = nullptr;
    uint64_t i_ = 0;
  };
  [[nodiscard]] iterator begin() const { return {this, 0}; }
  [[nodiscard]] iterator end() const { return {this, size()}; }

  // Deep copies, for tests and tools.
  [[nodiscard]] std::vector<NodeKey> keys() const;

  friend bool operator==(const NodesView& a, const NodesView& b) { return a.keys() == b.keys(); }
  friend bool operator==(const NodesView& a, const std::vector<NodeKey>& b) { return a.keys() == b; }

 private:
  [[noreturn, gnu::cold]] void out_of_bounds(uint64_t i) const;

  const NodeArena* a_ = nullptr;
  uint64_t begin_ = 0;
  uint64_t end_ = 0;
};

class NodeArena {
 public:
  using Prepared = PreparedKey;
  [[nodiscard]] static Prepared prepare(const NodeKey& key);

  NodeArena() = default;
  NodeArena(const NodeArena&) = delete;
  NodeArena& operator=(const NodeArena&) = delete;

  [[nodiscard]] uint64_t size() const { return records_.size(); }
  [[nodiscard]] NodeView node(NodeId id) const { return {this, &records_[id.value()]}; }
  [[nodiscard]] NodesView view(uint64_t begin, uint64_t end) const { return {this, begin, end}; }

  // The id of an equal node, if any.
  [[nodiscard]] std::optional<NodeId> find(const Prepared& p) const;
  // The id of text `s` (whose hash is `hash`), or none. Inline: interning
  // looks up every text of every key.
  [[nodiscard]] TextId find_text(std::string_view s, uint32_t hash) const {
    return TextId(text_index_.find(hash, [&](uint32_t i) { return same_text(text(TextId(i)), s); }));
  }
  // Starts fetching the text and descriptor slots interning or appending `p`
  // will probe; needs no lock. Appending probes no node slot.
  void prefetch_parts(const Prepared& p) const;
  // The same for the node's slot alone, the one a key of known texts misses.
  void prefetch_node(const Prepared& p) const { index_.prefetch(p.hash); }
  // The id of an equal node, or a new one (`second` true). The key's inputs
  // must already be checked. All or nothing: a failed allocation throws and
  // leaves the arena as it was.
  std::pair<NodeId, bool> intern(const Prepared& p);

  // Interns a key written part by part in the arena's own encoding: each
  // text is looked up as it comes, the words are encoded as they come, and
  // the hash is mixed as `PreparedKey::finish` mixes it, so a key of known
  // texts needs no prepared copy. The parts only read the arena, and may be
  // given without its lock by a caller that keeps every other thread from
  // changing it until `finish` has run (with a GIL, by holding it); `finish`
  // needs exclusive access. A part the writer cannot take (a text new to the
  // arena, an input that is no node yet, params out of order or repeated,
  // more words than it has room for) makes it return false, having changed
  // nothing: the caller then interns the key the general way. Kinds with a
  // name or none and params or none (not External, not Stage).
  //
  // A builder filling an arena of its own may write a key before the nodes
  // ahead of it are added: its inputs may then name any node below `nodes`,
  // the count the arena holds by the time the key is finished.
  class KeyWriter {
   public:
    static constexpr std::size_t kMaxWords = 32;

    KeyWriter(const NodeArena& a, NodeKey::Kind kind) : KeyWriter(a, kind, a.size()) {}
    KeyWriter(const NodeArena& a, NodeKey::Kind kind, uint64_t nodes);
    KeyWriter(const KeyWriter&) = delete;
    KeyWriter& operator=(const KeyWriter&) = delete;

    // A text looked up in the arena: its id, none when the arena lacks it,
    // and its hash. A caller that met the same text before may give what it
    // found then instead of a fresh lookup, as the arena never drops or
    // renumbers a text.
    struct Found {
      TextId id;
      uint32_t hash;
    };
    [[nodiscard]] Found look_up(std::string_view s) const;

    [[nodiscard]] bool name(std::string_view s) { return name(look_up(s)); }
    [[nodiscard]] bool name(Found text);
    // Then `n` calls of `input`; a kind without inputs says 0.
    [[nodiscard]] bool inputs(std::size_t n);
    [[nodiscard]] bool input(NodeId id);
    // Then `n` params, in order by name as bytes. A name comes as its text,
    // which the order is checked on, and what was found of it.
    void params(std::size_t n);
    [[nodiscard]] bool param(std::string_view name, ParamValue::Kind kind, uint64_t bits) {
      return param(name, look_up(name), kind, bits);
    }
    [[nodiscard]] bool param(std::string_view name, Found name_found, ParamValue::Kind kind,
                             uint64_t bits);
    [[nodiscard]] bool str_param(std::string_view name, std::string_view value) {
      return str_param(name, look_up(name), look_up(value));
    }
    [[nodiscard]] bool str_param(std::string_view name, Found name_found, Found value);
    // Interns the key written into the arena it was written against, once
    // every part announced was given. All or nothing, as `intern`.
    std::pair<NodeId, bool> finish(NodeArena& a) { return finish(a, true); }
    // The same as `NodeArena::append_unindexed`.
    NodeId append_unindexed(NodeArena& a) { return finish(a, false).first; }

   private:
    std::pair<NodeId, bool> finish(NodeArena& a, bool indexed);
    [[gnu::always_inline]] bool param_head(std::string_view name, Found name_found,
                                           ParamValue::Kind kind);

    const NodeArena& a_;
    const NodeKey::Kind kind_;
    const uint64_t nodes_;  // inputs are below it
    KeyHasher hasher_;
    uint32_t* w_;  // the next word
    uint32_t part_ = 0;
    uint32_t inputs_ = 0;
    uint32_t inputs_left_ = 0;
    std::size_t params_left_ = 0;
    bool has_params_ = false;
    std::string_view last_name_;  // of the latest param, when `named_`
    bool named_ = false;
    uint32_t words_[kMaxWords];  // not cleared: each is written before it is read
  };
  // For filling an arena nobody else reads yet with keys known to be
  // distinct: appends `p` as a new node without looking it up or indexing
  // it, and `index_appended` then indexes all such nodes in one pass, which
  // overlaps the index's cache misses instead of waiting on one a key.
  // Nothing may be looked up or interned in between. All or nothing, as
  // `intern`.
  NodeId append_unindexed(const Prepared& p);
  // Indexes the appended nodes in order; stops at the first that equals a
  // node before it (an appended one or not) and returns its id, and then the
  // arena holds a duplicate and is fit only to be dropped. nullopt when all
  // are distinct.
  [[nodiscard]] std::optional<NodeId> index_appended();
  // Room for `n` more nodes in the record table and the index.
  void reserve(std::size_t n);
  // Room for `n` more nodes to append (`append_unindexed`): their records,
  // hashes and, at the rate of the nodes so far, words; but not the index,
  // which `index_appended` sizes once.
  void reserve_appended(std::size_t n);

  [[nodiscard]] std::string_view text(TextId id) const {
    const Text& t = texts_[id.word()];
    return {t.data, t.size};
  }

 private:
  friend class NodeView;
  friend class ParamsView;
  friend struct ArenaForTest;  // compares arenas table by table

  struct Text {
    const char* data;
    uint32_t size;
    uint32_t hash;
  };
  struct Descriptor {
    TextId field[6];  // five texts, then preprocessing_ref's text when present
    uint32_t present;  // preprocessing_ref given
    uint32_t hash;
  };
  // The arena's text ids of a key's texts, in the key's order.
  using TextIds = SmallVector<TextId, 8>;
  // A node's record fields and words, encoded with this arena's ids.
  struct Encoded {
    uint32_t part;
    uint32_t meta;
  };

  // Looks up every text and the descriptor of `p`; false when one is new
  // (then the node is new too). Fills `ids` and `desc` with what was found.
  bool resolve(const Prepared& p, TextIds& ids, DescriptorId& desc) const;
  // Writes the key's `word_count` words to `w`; `ids` holds one per text.
  static Encoded encode(const Prepared& p, const TextId* ids, DescriptorId desc, uint32_t* w);
  // Compares what follows the inputs of two records of kind `kind`.
  [[nodiscard]] static bool same_tail(NodeKey::Kind kind, bool has_params, const uint32_t* a,
                                      const uint32_t* b);
  TextId add_text(std::string_view s, uint32_t hash);  // room reserved
  // The key's descriptor, its texts' ids given; room reserved.
  DescriptorId add_desc(const Prepared& p, const TextId* ids);

  // Lookups give none when there is no such entry: a plain word comes back
  // in a register, where an optional would make a round trip through memory.
  // The index's miss is taken as the ids' none.
  static_assert(IdIndex::kEmpty == TextId::kNoneWord && IdIndex::kEmpty == DescriptorId::kNoneWord &&
                    IdIndex::kEmpty == NodePos::kNoneWord,
                "a miss is none");
  [[nodiscard]] DescriptorId find_desc(const Prepared& p, const TextId* ids) const;
  // find_desc, or none when one of the descriptor's texts is new (`ids` none).
  [[nodiscard]] DescriptorId known_desc(const Prepared& p, const TextId* ids) const;
  [[nodiscard]] NodePos find_node(uint32_t hash, Encoded e, const uint32_t* words) const;
  // find_node, with where the node would go when it is new (IdIndex::find_or_slot).
  [[nodiscard]] NodePos find_node(uint32_t hash, Encoded e, const uint32_t* words,
                                  std::size_t& empty) const;
  // Whether record `r` is the node encoded as `e` and `words`.
  [[nodiscard]] static bool same_node(const NodeRecord& r, Encoded e, const uint32_t* words);
  // `intern`, or with `indexed` false `append_unindexed`.
  std::pair<NodeId, bool> add_node(const Prepared& p, bool indexed);
  // Room for one more node of `words` words, to index now or to append;
  // throws, having changed nothing anyone sees, when there is none.
  void reserve_node(std::size_t words, bool indexed);
  // Adds the node encoded as `e` in `w` (taken from `words_`), its room
  // reserved, to the index (at `slot` when a probe for it ended there) or
  // to the appended ones. Throws nothing.
  NodeId push_node(const uint32_t* w, Encoded e, uint32_t hash, bool indexed,
                   std::optional<std::size_t> slot);

  SegVector<NodeRecord, 1024> records_;
  SegVector<Text, 256> texts_;
  SegVector<Descriptor, 16> descs_;
  IdIndex index_;
  IdIndex text_index_;
  IdIndex desc_index_;
  // The hashes of the nodes appended last without being indexed.
  std::vector<uint32_t> unindexed_;
  // Node words and text bytes, never moved or freed early.
  ChunkPool<uint32_t, 128, std::size_t{1} << 18> words_;
  ChunkPool<char, 256, std::size_t{1} << 20> text_bytes_;
};

inline NodeView NodesView::operator[](uint64_t i) const {
  if (i >= size()) [[unlikely]] out_of_bounds(i);
  return a_->node(NodeId(begin_ + i));
}

// The writer's parts inline: a builder calls them for every key.
inline NodeArena::KeyWriter::KeyWriter(const NodeArena& a, NodeKey::Kind kind, uint64_t nodes)
    : a_(a), kind_(kind), nodes_(nodes), hasher_(kind), w_(words_) {}

inline NodeArena::KeyWriter::Found NodeArena::KeyWriter::look_up(std::string_view s) const {
  const uint32_t hash = PreparedKey::hash_text(s);
  return {a_.find_text(s, hash), hash};
}

inline bool NodeArena::KeyWriter::name(Found text) {
  if (text.id.is_none()) return false;
  part_ = text.id.word();
  hasher_.add(text.hash);
  return true;
}

inline bool NodeArena::KeyWriter::inputs(std::size_t n) {
  if (n > kMaxWords - static_cast<std::size_t>(w_ - words_)) return false;
  inputs_ = inputs_left_ = static_cast<uint32_t>(n);
  hasher_.add(n);
  return true;
}

inline bool NodeArena::KeyWriter::input(NodeId id) {
  if (inputs_left_ == 0 || id.value() >= nodes_) return false;
  --inputs_left_;
  *w_++ = id.pos().word();
  hasher_.add(id.value());
  return true;
}

inline void NodeArena::KeyWriter::params(std::size_t n) {
  params_left_ = n;
  has_params_ = n != 0;
}

inline bool NodeArena::KeyWriter::param_head(std::string_view name, Found name_found,
                                             ParamValue::Kind kind) {
  // A head and at most two value words.
  if (params_left_ == 0 || static_cast<std::size_t>(w_ - words_) + 3 > kMaxWords) return false;
  // Out of order (or repeated), the words would not be the key's.
  if (inputs_left_ != 0 || (named_ && !text_before(last_name_, name))) return false;
  if (name_found.id.is_none()) return false;
  last_name_ = name;
  named_ = true;
  --params_left_;
  *w_++ = ParamHead::make(name_found.id.word(), params_left_ == 0, kind);
  return true;
}

inline bool NodeArena::KeyWriter::param(std::string_view name, Found name_found,
                                        ParamValue::Kind kind, uint64_t bits) {
  if (kind == ParamValue::Kind::kStr || !param_head(name, name_found, kind)) return false;
  w_ = ParamHead::put_value(w_, kind, bits);
  hasher_.add_param(name_found.hash, kind, bits, 0);
  return true;
}

inline bool NodeArena::KeyWriter::str_param(std::string_view name, Found name_found, Found value) {
  if (value.id.is_none() || !param_head(name, name_found, ParamValue::Kind::kStr)) return false;
  w_ = ParamHead::put_value(w_, ParamValue::Kind::kStr, value.id.word());
  hasher_.add_param(name_found.hash, ParamValue::Kind::kStr, 0, value.hash);
  return true;
}

template <typename F>
void NodeView::for_each_member(F&& f) const {
  for (TailCursor c = r_->members(); !c.done(); c.next_member()) {
    f(MemberView{text(c.op_id()), c.argc(), c});
  }
}

}  // namespace velmora
