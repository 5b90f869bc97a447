// The layout of a node inside an arena: a record of three words and the words
// it points at, which hold 32-bit ids of the arena's texts and descriptors.
// Everything that reads or writes those bits goes through the names below.
//
//   record    words -> [ input ids ... ][ tail ]
//             part     name text id (Source, Op, Reduction), descriptor id
//                      (External), else 0
//             meta     | input count : 28 | has params : 1 | kind : 3 |
//
//   tail, Stage        member count, then per member:
//                        op text id, argument count, then per argument
//                        three words: tag, index low half, index high half
//   tail, other kinds  per parameter (none when "has params" is clear):
//                        head | name text id : 29 | last pair : 1 | value kind : 2 |
//                        then the value: Int and Float two words (low half
//                        first), Bool one, Str its text id
//
// TailCursor is the one reader of a tail, for params and members alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "node/ids.h"
#include "node/node.h"
#include "param/param.h"

namespace velmora {

class TailCursor;

// A record's input words read in place as node ids.
class InputIds {
 public:
  class iterator {
   public:
    using value_type = NodeId;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    explicit iterator(const uint32_t* at) : at_(at) {}
    NodeId operator*() const { return NodeId(*at_); }
    iterator& operator++() {
      ++at_;
      return *this;
    }
    iterator operator++(int) { return iterator(at_++); }
    friend bool operator==(iterator, iterator) = default;

   private:
    const uint32_t* at_ = nullptr;
  };

  InputIds() = default;
  InputIds(const uint32_t* words, uint32_t count) : words_(words), count_(count) {}
  [[nodiscard]] iterator begin() const { return iterator(words_); }
  [[nodiscard]] iterator end() const { return iterator(words_ + count_); }
  [[nodiscard]] std::size_t size() const { return count_; }
  [[nodiscard]] bool empty() const { return count_ == 0; }
  [[nodiscard]] NodeId operator[](std::size_t i) const { return NodeId(words_[i]); }
  [[nodiscard]] Inputs to_vector() const {
    Inputs out;
    out.reserve(count_);
    for (NodeId id : *this) out.push_back(id);
    return out;
  }

 private:
  const uint32_t* words_ = nullptr;
  uint32_t count_ = 0;
};

struct NodeRecord {
  static constexpr uint32_t kKindBits = 3;
  static constexpr uint32_t kHasParams = 1u << kKindBits;
  static constexpr uint32_t kInputShift = kKindBits + 1;
  static_assert(static_cast<uint32_t>(NodeKey::Kind::kJoin) < (1u << kKindBits), "kinds fit their bits");
  // Inputs a record can count.
  static constexpr uint64_t kMaxInputs = (uint64_t{1} << (32 - kInputShift)) - 1;

  const uint32_t* words;
  uint32_t part;
  uint32_t meta;

  [[nodiscard]] static constexpr uint32_t make_meta(NodeKey::Kind kind, bool has_params, uint32_t inputs) {
    return static_cast<uint32_t>(kind) | (has_params ? kHasParams : 0) | inputs << kInputShift;
  }
  [[nodiscard]] static constexpr NodeKey::Kind kind_of(uint32_t meta) {
    return static_cast<NodeKey::Kind>(meta & ((1u << kKindBits) - 1));
  }
  [[nodiscard]] static constexpr bool has_params_of(uint32_t meta) { return (meta & kHasParams) != 0; }
  [[nodiscard]] static constexpr uint32_t input_count_of(uint32_t meta) { return meta >> kInputShift; }
  // Kind and the params flag: what two nodes with one template share.
  [[nodiscard]] static constexpr uint32_t shape_of(uint32_t meta) { return meta & ((1u << kInputShift) - 1); }

  [[nodiscard]] NodeKey::Kind kind() const { return kind_of(meta); }
  [[nodiscard]] bool has_params() const { return has_params_of(meta); }
  [[nodiscard]] uint32_t input_count() const { return input_count_of(meta); }
  [[nodiscard]] uint32_t shape() const { return shape_of(meta); }
  [[nodiscard]] InputIds inputs() const { return {words, input_count()}; }
  [[nodiscard]] const uint32_t* tail() const { return words + input_count(); }
  // The part word as the kind uses it.
  [[nodiscard]] TextId name() const { return TextId(part); }
  [[nodiscard]] DescriptorId descriptor() const { return DescriptorId(part); }
  [[nodiscard]] TailCursor params() const;
  [[nodiscard]] TailCursor members() const;  // a Stage's
};

// A parameter's head word.
struct ParamHead {
  static constexpr uint32_t kKindMask = 3;
  static constexpr uint32_t kLastPair = 4;
  static constexpr uint32_t kNameShift = 3;
  static_assert(static_cast<uint32_t>(ParamValue::Kind::kStr) <= kKindMask, "value kinds fit their bits");
  // Text ids a head can name.
  static constexpr uint64_t kMaxTexts = (uint64_t{1} << (32 - kNameShift)) - 1;

  [[nodiscard]] static constexpr uint32_t make(uint32_t name_id, bool last, ParamValue::Kind kind) {
    return name_id << kNameShift | (last ? kLastPair : 0) | static_cast<uint32_t>(kind);
  }
  [[nodiscard]] static constexpr uint32_t name_id(uint32_t head) { return head >> kNameShift; }
  [[nodiscard]] static constexpr bool last(uint32_t head) { return (head & kLastPair) != 0; }
  [[nodiscard]] static constexpr ParamValue::Kind kind(uint32_t head) {
    return static_cast<ParamValue::Kind>(head & kKindMask);
  }
  // Words the value after a head of `kind` takes.
  [[nodiscard]] static constexpr std::size_t value_words(ParamValue::Kind kind) {
    return kind == ParamValue::Kind::kInt || kind == ParamValue::Kind::kFloat ? 2 : 1;
  }
  // The value's bits from its words (a Str's text id, a Bool's 0 or 1).
  [[nodiscard]] static uint64_t value(const uint32_t* head) {
    return value_words(kind(*head)) == 2 ? (uint64_t{head[2]} << 32 | head[1]) : head[1];
  }
  // Writes a value of `kind`: `bits`, or for a Str its text id; returns the
  // word after it.
  static uint32_t* put_value(uint32_t* w, ParamValue::Kind kind, uint64_t bits) {
    *w++ = static_cast<uint32_t>(bits);
    if (value_words(kind) == 2) *w++ = static_cast<uint32_t>(bits >> 32);
    return w;
  }
  // The head word of the next pair; only when this one is not the last.
  [[nodiscard]] static const uint32_t* next(const uint32_t* head) {
    return head + 1 + value_words(kind(*head));
  }
};

// The words of one stage member: op text id, argument count, arguments.
struct MemberWords {
  static constexpr std::size_t kCountWords = 1;  // the member count before the members
  static constexpr std::size_t kHeader = 2;
  static constexpr std::size_t kRefWords = 3;

  // A stage's tail: its member count and its first member.
  [[nodiscard]] static uint32_t count(const uint32_t* tail) { return tail[0]; }
  [[nodiscard]] static const uint32_t* first(const uint32_t* tail) { return tail + kCountWords; }

  [[nodiscard]] static constexpr std::size_t size(uint32_t argc) {
    return kHeader + kRefWords * static_cast<std::size_t>(argc);
  }
  [[nodiscard]] static uint32_t op_id(const uint32_t* m) { return m[0]; }
  [[nodiscard]] static uint32_t argc(const uint32_t* m) { return m[1]; }
  [[nodiscard]] static const uint32_t* refs(const uint32_t* m) { return m + kHeader; }
  [[nodiscard]] static const uint32_t* next(const uint32_t* m) { return m + size(argc(m)); }
  [[nodiscard]] static StageRef ref(const uint32_t* refs, uint32_t k) {
    const uint32_t* r = refs + kRefWords * k;
    return StageRef{static_cast<StageRef::Kind>(r[0]), uint64_t{r[1]} | uint64_t{r[2]} << 32};
  }
  // Writes a member's header; returns the word after it.
  static uint32_t* put_header(uint32_t* w, uint32_t op_id, uint32_t argc) {
    *w++ = op_id;
    *w++ = argc;
    return w;
  }
  // Writes `r` as its three words; returns the word after them.
  static uint32_t* put_ref(uint32_t* w, StageRef r) {
    *w++ = static_cast<uint32_t>(r.kind);
    *w++ = static_cast<uint32_t>(r.index);
    *w++ = static_cast<uint32_t>(r.index >> 32);
    return w;
  }
};

// The one walk over a record's tail: its parameters a pair at a time, or a
// Stage's members a member at a time; done past the last.
class TailCursor {
 public:
  TailCursor() = default;  // done
  // The parameters from `tail`; none when `has_params` is clear.
  [[nodiscard]] static TailCursor params(const uint32_t* tail, bool has_params) {
    return {has_params ? tail : nullptr, 0};
  }
  // The members of the Stage whose tail is `tail`.
  [[nodiscard]] static TailCursor members(const uint32_t* tail) {
    const uint32_t n = MemberWords::count(tail);
    return {n != 0 ? MemberWords::first(tail) : nullptr, n};
  }

  [[nodiscard]] bool done() const { return at_ == nullptr; }

  // At a parameter.
  [[nodiscard]] uint32_t head() const { return *at_; }
  [[nodiscard]] TextId name_id() const { return TextId(ParamHead::name_id(*at_)); }
  [[nodiscard]] ParamValue::Kind value_kind() const { return ParamHead::kind(*at_); }
  [[nodiscard]] uint64_t value() const { return ParamHead::value(at_); }
  void next_param() { at_ = ParamHead::last(*at_) ? nullptr : ParamHead::next(at_); }

  // At a member.
  [[nodiscard]] uint32_t members_left() const { return left_; }
  [[nodiscard]] TextId op_id() const { return TextId(MemberWords::op_id(at_)); }
  [[nodiscard]] uint32_t argc() const { return MemberWords::argc(at_); }
  [[nodiscard]] const uint32_t* refs() const { return MemberWords::refs(at_); }
  [[nodiscard]] StageRef ref(uint32_t k) const { return MemberWords::ref(refs(), k); }
  // The words of its references.
  [[nodiscard]] std::span<const uint32_t> ref_words() const { return {refs(), MemberWords::next(at_)}; }
  void next_member() { at_ = --left_ == 0 ? nullptr : MemberWords::next(at_); }

  friend bool operator==(const TailCursor& a, const TailCursor& b) { return a.at_ == b.at_; }

 private:
  TailCursor(const uint32_t* at, uint32_t left) : at_(at), left_(left) {}

  const uint32_t* at_ = nullptr;
  uint32_t left_ = 0;  // members, this one included
};

inline TailCursor NodeRecord::params() const { return TailCursor::params(tail(), has_params()); }
inline TailCursor NodeRecord::members() const { return TailCursor::members(tail()); }

}  // namespace velmora
