#include "store/arena.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <stdexcept>

#include "base/hash_key.h"
#include "base/panic.h"
#include "node/text.h"

namespace velmora {
namespace {

// Ids inside the words are 32-bit, and the layout narrows some further.
constexpr uint64_t kMaxNodes = 0xFFFFFFFEULL;
static_assert(kMaxNodes < NodePos::kNoneWord, "every node has a position short of none");
constexpr uint64_t kMaxTexts = ParamHead::kMaxTexts;
constexpr uint64_t kMaxInputs = NodeRecord::kMaxInputs;
constexpr uint64_t kMaxDescriptors = DescriptorId::kNoneWord;

}  // namespace

// ------------------------------------------------------------------ views

ParamRef ParamsView::iterator::operator*() const {
  const TextId name_id = at_.name_id();
  ParamRef r{a_->text(name_id), at_.value_kind(), 0, {}, name_id, TextId::none()};
  const uint64_t value = at_.value();
  if (r.kind == ParamValue::Kind::kStr) {
    r.str_id = TextId(static_cast<uint32_t>(value));  // a text id's word
    r.str = a_->text(r.str_id);
  } else {
    r.bits = value;
  }
  return r;
}

ParamsView::iterator& ParamsView::iterator::operator++() {
  at_.next_param();
  return *this;
}

std::size_t ParamsView::size() const {
  std::size_t n = 0;
  for (auto it = begin(); it != end(); ++it) ++n;
  return n;
}

ParamMap ParamsView::to_map() const {
  std::vector<Param> pairs;
  for (const ParamRef& r : *this) pairs.emplace_back(std::string(r.name), r.value());
  return ParamMap(std::move(pairs));
}

void ParamsView::append_token(std::string& out) const {
  bool first = true;
  for (const ParamRef& r : *this) {
    if (!first) out += ';';
    first = false;
    append_escaped(out, r.name);
    out += '=';
    r.append_token(out);
  }
}

std::string ParamsView::display() const {
  std::string out = "{";
  bool first = true;
  for (const ParamRef& r : *this) {
    if (!first) out += ", ";
    first = false;
    out += r.name;
    out += '=';
    out += r.display();
  }
  out += '}';
  return out;
}

PayloadDescriptor DescriptorView::to_descriptor() const {
  PayloadDescriptor d{std::string(kind), std::string(content_hash), std::string(framework),
                      std::string(version), std::string(io_schema), std::nullopt};
  if (preprocessing_ref) d.preprocessing_ref = std::string(*preprocessing_ref);
  return d;
}

std::string_view NodeView::text(TextId id) const { return a_->text(id); }

std::string_view NodeView::name() const {
  return NodeKey::named(kind()) ? a_->text(r_->name()) : std::string_view();
}

ParamsView NodeView::params() const {
  return {a_, r_->params()};
}

DescriptorView NodeView::descriptor() const {
  const NodeArena::Descriptor& d = a_->descs_[r_->descriptor().word()];
  DescriptorView v{a_->text(d.field[0]), a_->text(d.field[1]), a_->text(d.field[2]),
                   a_->text(d.field[3]), a_->text(d.field[4]), std::nullopt};
  if (d.present != 0) v.preprocessing_ref = a_->text(d.field[5]);
  return v;
}

uint32_t NodeView::member_count() const { return r_->members().members_left(); }

uint32_t NodeView::template_hash() const {
  // Straight from the words, as `same_template` compares them: text ids stand
  // for their texts, and floats count by their canonical bits.
  KeyedMixer mix(r_->shape() * 0x51ULL + r_->part);
  if (kind_info(kind()).has(Part::kMembers)) {
    for (TailCursor c = r_->members(); !c.done(); c.next_member()) {
      const uint32_t argc = c.argc();
      mix(uint64_t{c.op_id().word()} << 32 | argc);
      for (uint32_t k = 0; k < argc; ++k) {
        const StageRef ref = c.ref(k);
        mix(ref.index * 3 + static_cast<uint32_t>(ref.kind));
      }
    }
  } else {
    for (TailCursor c = r_->params(); !c.done(); c.next_param()) {
      const ParamValue::Kind value_kind = c.value_kind();
      uint64_t value = c.value();
      if (value_kind == ParamValue::Kind::kFloat) value = canonical_float_bits(value);
      mix(c.head());
      mix(value);
    }
  }
  return mix.hash32();
}

bool NodeView::same_template(const NodeView& o) const {
  if (r_->shape() != o.r_->shape() || r_->part != o.r_->part) return false;
  return NodeArena::same_tail(kind(), r_->has_params(), r_->tail(), o.r_->tail());
}

std::string NodeView::token() const {
  std::string t;
  append_token(t);
  return t;
}

void NodeView::append_token(std::string& t) const { node_text::append_token(*this, t); }

std::string NodeView::label() const { return node_text::label(*this); }

NodeKey NodeView::to_key() const {
  return key_of(*this, inputs().to_vector());
}

NodeKey NodeView::with_inputs(Inputs inputs) const { return to_key().with_inputs(std::move(inputs)); }

PreparedKey NodeView::prepare(std::span<const NodeId> inputs) const {
  PreparedKey p;
  p.kind = kind();
  p.inputs = inputs;
  auto add = [&](TextId id) {
    const NodeArena::Text& t = a_->texts_[id.word()];
    p.texts.emplace_back(t.data, t.size);
    p.text_hashes.push_back(t.hash);
  };
  const KindInfo& info = kind_info(p.kind);
  if (info.named()) add(r_->name());
  if (info.has(Part::kDescriptor)) {
    const NodeArena::Descriptor& d = a_->descs_[r_->descriptor().word()];
    for (int k = 0; k < 5; ++k) add(d.field[k]);
    p.has_preprocessing_ref = d.present != 0;
    if (d.present != 0) add(d.field[5]);
  }
  if (info.has(Part::kMembers)) {
    for (TailCursor c = r_->members(); !c.done(); c.next_member()) {
      add(c.op_id());
      p.argc.push_back(c.argc());
      for (uint32_t k = 0; k < c.argc(); ++k) p.add_ref(c.ref(k));
    }
  } else {
    for (const ParamRef& r : params()) {
      add(r.name_id);
      p.add_param(r.kind, r.bits);
      if (r.kind == ParamValue::Kind::kStr) add(r.str_id);
    }
  }
  p.finish();
  return p;
}

void NodesView::out_of_bounds(uint64_t i) const {
  panic("index out of bounds: the len is " + std::to_string(size()) + " but the index is " +
        std::to_string(i));
}

std::vector<NodeKey> NodesView::keys() const {
  std::vector<NodeKey> out;
  out.reserve(size());
  for (uint64_t i = 0; i < size(); ++i) out.push_back((*this)[i].to_key());
  return out;
}

// ------------------------------------------------------------------ interning

void PreparedKey::too_long(std::size_t n) {
  throw std::length_error("a length or count of " + std::to_string(n) +
                          " does not fit in 32 bits");
}

void PreparedKey::finish() {
  KeyHasher h(kind);
  std::size_t t = 0;  // next text
  const KindInfo& info = kind_info(kind);
  if (info.named()) h.add(text_hashes[t++]);
  if (info.has(Part::kDescriptor)) {
    for (int k = 0; k < 5; ++k) h.add(text_hashes[t++]);
    h.add(has_preprocessing_ref ? 1 : 0);
    if (has_preprocessing_ref) h.add(text_hashes[t++]);
  }
  h.add_inputs(inputs);
  if (info.has(Part::kMembers)) {
    h.add(argc.size());
    std::size_t r = 0;
    for (uint32_t n : argc) {
      h.add(text_hashes[t++]);
      h.add(n);
      for (uint32_t k = 0; k < n; ++k, ++r) {
        h.add(static_cast<uint64_t>(refs[r].kind) << 62 ^ refs[r].index);
      }
    }
  } else {
    for (const Param& q : params) {
      const uint32_t name_hash = text_hashes[t++];
      h.add_param(name_hash, q.kind, q.bits, q.kind == ParamValue::Kind::kStr ? text_hashes[t++] : 0);
    }
  }
  hash = h.end();
}

NodeArena::Prepared NodeArena::prepare(const NodeKey& key) {
  Prepared p;
  p.kind = key.kind();
  p.inputs = key.inputs();
  const KindInfo& info = kind_info(p.kind);
  if (info.named()) p.add_text(key.name());
  if (info.has(Part::kDescriptor)) {
    const PayloadDescriptor& d = *key.as<ExternalNode>().descriptor;
    for (const std::string* f : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
      p.add_text(*f);
    }
    p.has_preprocessing_ref = d.preprocessing_ref.has_value();
    if (d.preprocessing_ref) p.add_text(*d.preprocessing_ref);
  }
  if (info.has(Part::kMembers)) {
    for (const StageOp& m : key.as<StageNode>().members) {
      p.add_member(m.op, m.inputs.size());
      p.refs.insert(p.refs.end(), m.inputs.begin(), m.inputs.end());
    }
  } else {
    for (const Param& pair : key.params()) {
      const ParamRef r = ParamRef::of(pair);
      p.add_text(r.name);
      p.add_param(r.kind, r.bits);
      if (r.kind == ParamValue::Kind::kStr) p.add_text(r.str);
    }
  }
  p.finish();
  return p;
}

namespace {

uint32_t desc_hash(const uint32_t* field_hashes, bool present) {
  KeyedMixer mix(0x5A);
  for (int k = 0; k < 5; ++k) mix(field_hashes[k]);
  mix(present ? 1 : 0);
  if (present) mix(field_hashes[5]);
  return mix.hash32();
}

// Words a key takes: its inputs, then its params or its members.
std::size_t word_count(const NodeArena::Prepared& p) {
  std::size_t n = p.inputs.size();
  if (kind_info(p.kind).has(Part::kMembers)) {
    return n + MemberWords::kCountWords + MemberWords::kHeader * p.argc.size() +
           MemberWords::kRefWords * p.refs.size();
  }
  for (const auto& q : p.params) n += 1 + ParamHead::value_words(q.kind);
  return n;
}

}  // namespace

NodePos NodeArena::find_node(uint32_t hash, Encoded e, const uint32_t* words) const {
  return NodePos(index_.find(hash, [&](uint32_t i) { return same_node(records_[i], e, words); }));
}

NodePos NodeArena::find_node(uint32_t hash, Encoded e, const uint32_t* words,
                             std::size_t& empty) const {
  return NodePos(index_.find_or_slot(
      hash, [&](uint32_t i) { return same_node(records_[i], e, words); }, empty));
}

bool NodeArena::same_node(const NodeRecord& r, Encoded e, const uint32_t* words) {
  if (r.meta != e.meta || r.part != e.part) return false;
  const std::size_t n_inputs = r.input_count();
  return std::equal(r.words, r.words + n_inputs, words) &&
         same_tail(r.kind(), r.has_params(), r.words + n_inputs, words + n_inputs);
}

bool NodeArena::same_tail(NodeKey::Kind kind, bool has_params, const uint32_t* a,
                          const uint32_t* b) {
  if (kind_info(kind).has(Part::kMembers)) {
    TailCursor x = TailCursor::members(a);
    TailCursor y = TailCursor::members(b);
    if (x.members_left() != y.members_left()) return false;
    for (; !x.done(); x.next_member(), y.next_member()) {
      // Op text id and argument count first: they give the member's size.
      if (x.op_id() != y.op_id() || x.argc() != y.argc()) return false;
      if (!std::ranges::equal(x.ref_words(), y.ref_words())) return false;
    }
    return true;
  }
  // Equal heads give both walks the same length.
  for (TailCursor x = TailCursor::params(a, has_params), y = TailCursor::params(b, has_params);
       !x.done(); x.next_param(), y.next_param()) {
    if (x.head() != y.head()) return false;
    if (x.value_kind() == ParamValue::Kind::kFloat) {
      if (canonical_float_bits(x.value()) != canonical_float_bits(y.value())) return false;
    } else if (x.value() != y.value()) {
      return false;
    }
  }
  return true;
}

bool NodeArena::resolve(const Prepared& p, TextIds& ids, DescriptorId& desc) const {
  ids.clear();
  desc = DescriptorId(0);
  for (std::size_t k = 0; k < p.texts.size(); ++k) {
    const TextId id = find_text(p.texts[k], p.text_hashes[k]);
    if (id.is_none()) return false;
    ids.push_back(id);
  }
  if (kind_info(p.kind).has(Part::kDescriptor)) {
    desc = find_desc(p, ids.data());
    if (desc.is_none()) return false;
  }
  return true;
}

// A descriptor whose texts are all known may be known too, whatever the rest
// of the key brings: a second copy of it would make the node differ from an
// equal key interned later.
DescriptorId NodeArena::known_desc(const Prepared& p, const TextId* ids) const {
  const std::size_t fields = p.has_preprocessing_ref ? 6 : 5;
  const bool known = std::none_of(ids, ids + fields, [](TextId id) { return id.is_none(); });
  return known ? find_desc(p, ids) : DescriptorId::none();
}

DescriptorId NodeArena::find_desc(const Prepared& p, const TextId* ids) const {
  const bool present = p.has_preprocessing_ref;
  const auto h = static_cast<uint32_t>(desc_hash(p.text_hashes.data(), present));
  return DescriptorId(desc_index_.find(h, [&](uint32_t i) {
    const Descriptor& d = descs_[i];
    return d.present == (present ? 1u : 0u) &&
           std::equal(ids, ids + (present ? 6 : 5), d.field);
  }));
}

NodeArena::Encoded NodeArena::encode(const Prepared& p, const TextId* ids, DescriptorId desc,
                                     uint32_t* w) {
  const KindInfo& info = kind_info(p.kind);
  std::size_t t = 0;  // next text id
  Encoded e{};
  e.part = info.named() ? ids[t++].word() : info.has(Part::kDescriptor) ? desc.word() : 0;
  if (info.has(Part::kDescriptor)) t += p.has_preprocessing_ref ? 6 : 5;
  for (NodeId i : p.inputs) *w++ = i.pos().word();
  bool has_params = false;
  if (info.has(Part::kMembers)) {
    *w++ = static_cast<uint32_t>(p.argc.size());  // the member count
    std::size_t r = 0;
    for (uint32_t n : p.argc) {
      w = MemberWords::put_header(w, ids[t++].word(), n);
      for (uint32_t k = 0; k < n; ++k, ++r) w = MemberWords::put_ref(w, p.refs[r]);
    }
  } else {
    has_params = !p.params.empty();
    const Prepared::Param* const params = p.params.data();  // unchecked: every key comes here
    const std::size_t n = p.params.size();
    for (std::size_t k = 0; k < n; ++k) {
      const Prepared::Param& q = params[k];
      *w++ = ParamHead::make(ids[t++].word(), k + 1 == n, q.kind);
      w = ParamHead::put_value(w, q.kind, q.kind == ParamValue::Kind::kStr ? ids[t++].word() : q.bits);
    }
  }
  e.meta = NodeRecord::make_meta(p.kind, has_params, static_cast<uint32_t>(p.inputs.size()));
  return e;
}

namespace {

// Room for a key's words while it is looked up: on the stack for the usual
// few dozen words.
class WordBuffer {
 public:
  // Room for `n` words, valid while the buffer lives.
  uint32_t* take(std::size_t n) {
    if (n <= kLocal) return local_;
    heap_.reset(new uint32_t[n]);
    return heap_.get();
  }

 private:
  static constexpr std::size_t kLocal = 32;
  uint32_t local_[kLocal];  // not cleared: a key's words are written before they are read
  std::unique_ptr<uint32_t[]> heap_;
};

}  // namespace

std::optional<NodeId> NodeArena::find(const Prepared& p) const {
  TextIds ids;
  DescriptorId desc;
  if (!resolve(p, ids, desc)) return std::nullopt;
  if (p.inputs.size() > kMaxInputs) throw std::length_error("too many inputs for one node");
  WordBuffer buffer;
  uint32_t* words = buffer.take(word_count(p));
  const Encoded e = encode(p, ids.data(), desc, words);
  const NodePos found = find_node(p.hash, e, words);
  if (found.is_none()) return std::nullopt;
  return NodeId::at(found);
}

void NodeArena::prefetch_parts(const Prepared& p) const {
  for (uint32_t h : p.text_hashes) text_index_.prefetch(h);
  if (kind_info(p.kind).has(Part::kDescriptor)) {
    desc_index_.prefetch(static_cast<uint32_t>(desc_hash(p.text_hashes.data(), p.has_preprocessing_ref)));
  }
}

TextId NodeArena::add_text(std::string_view s, uint32_t hash) {
  char* data = text_bytes_.take(s.size());
  if (!s.empty()) std::memcpy(data, s.data(), s.size());
  const TextId id = TextId::of_index(texts_.size());
  texts_.push_back(Text{data, static_cast<uint32_t>(s.size()), hash});
  text_index_.insert(hash, id.word());
  return id;
}

void NodeArena::reserve(std::size_t n) {
  records_.reserve_more(n);
  index_.reserve_more(n);
}

std::pair<NodeId, bool> NodeArena::intern(const Prepared& p) { return add_node(p, true); }

NodeId NodeArena::append_unindexed(const Prepared& p) { return add_node(p, false).first; }

DescriptorId NodeArena::add_desc(const Prepared& p, const TextId* ids) {
  const bool present = p.has_preprocessing_ref;
  Descriptor d{};
  std::copy(ids, ids + (present ? 6 : 5), d.field);
  d.present = present ? 1 : 0;
  d.hash = static_cast<uint32_t>(desc_hash(p.text_hashes.data(), present));
  const DescriptorId id = DescriptorId::of_index(descs_.size());
  descs_.push_back(d);
  desc_index_.insert(d.hash, id.word());
  return id;
}

void NodeArena::reserve_appended(std::size_t n) {
  records_.reserve_more(n);
  if (unindexed_.capacity() - unindexed_.size() < n) unindexed_.reserve(unindexed_.size() + n);
  // Words at the rate of the nodes so far, in one chunk: a large one is
  // faulted in huge pages rather than thousands of small ones.
  if (!records_.empty()) words_.reserve(words_.taken() / records_.size() * n);
}

std::optional<NodeId> NodeArena::index_appended() {
  const std::size_t n = unindexed_.size();
  index_.reserve_more(n);
  const uint64_t first = records_.size() - n;
  constexpr std::size_t kAhead = 16;  // slots loading meanwhile
  for (std::size_t j = 0; j < n; ++j) {
    if (j + kAhead < n) index_.prefetch(unindexed_[j + kAhead]);
    const NodeRecord& r = records_[first + j];
    const Encoded e{r.part, r.meta};
    const auto same = [&](uint32_t other) { return same_node(records_[other], e, r.words); };
    const NodeId id(first + j);
    if (!index_.insert_unique(unindexed_[j], id.pos().word(), same)) return id;
  }
  unindexed_ = std::vector<uint32_t>();
  return std::nullopt;
}

std::pair<NodeId, bool> NodeArena::add_node(const Prepared& p, bool indexed) {
  // A lookup now would miss the appended nodes and could add one twice.
  if (indexed && !unindexed_.empty()) panic("a node is interned while appended nodes are unindexed");
  const std::size_t text_count = p.texts.size();
  TextIds id_room(text_count);  // none for a text new to the arena
  TextId* const ids = id_room.data();  // indexed directly: the loops below run for every key
  const std::string_view* const texts = p.texts.data();  // so are the key's, unchecked
  const uint32_t* const hashes = p.text_hashes.data();
  // Whether texts j and k of the key are one text.
  const auto same_in_key = [&](std::size_t j, std::size_t k) {
    return hashes[j] == hashes[k] && same_text(texts[j], texts[k]);
  };
  std::size_t new_texts = 0;  // distinct, as far as `fresh` tells
  std::size_t new_bytes = 0;
  std::size_t new_occurrences = 0;
  // The distinct new texts while they are few, so that a key repeating them
  // (a stage of many members over a few ops) reserves room for each once,
  // not once a member. A key with more counts every new occurrence, which
  // only over-reserves, and costs it no scan.
  constexpr std::size_t kFreshScan = 8;
  SmallVector<uint32_t, kFreshScan> fresh;  // their positions in the key
  bool scanning = true;
  for (std::size_t k = 0; k < text_count; ++k) {
    const TextId given = p.text_ids != nullptr ? p.text_ids[k] : TextId::none();
    if (!given.is_none()) {
      // A wrong id would silently store another text.
      if (given.word() >= texts_.size() || texts_[given.word()].hash != hashes[k]) {
        panic("text id " + std::to_string(given.word()) + " is not the key's text");
      }
      ids[k] = given;
      continue;
    }
    const std::string_view s = texts[k];
    ids[k] = find_text(s, hashes[k]);
    if (ids[k].is_none()) {
      ++new_occurrences;
      if (scanning) {
        const bool repeat =
            std::any_of(fresh.begin(), fresh.end(), [&](uint32_t j) { return same_in_key(j, k); });
        if (repeat) continue;
        scanning = fresh.size() < kFreshScan;
        if (scanning) fresh.push_back(static_cast<uint32_t>(k));
      }
      ++new_texts;
      new_bytes += s.size();
    }
  }
  const bool external = kind_info(p.kind).has(Part::kDescriptor);
  DescriptorId desc = external ? known_desc(p, ids) : DescriptorId(0);
  if (p.inputs.size() > kMaxInputs) throw std::length_error("too many inputs for one node");
  const std::size_t words = word_count(p);
  // A key whose parts are all known may name a known node; one with a new
  // part is new itself, and is encoded once its parts have ids.
  const bool look_up = indexed && new_texts == 0 && !desc.is_none();
  Encoded e{};
  std::size_t slot = 0;  // of a looked-up key in the index, for inserting it
  if (look_up) {
    // Room first (reserving changes nothing anyone sees): the key is encoded
    // where a new node's words go, so that a new node copies nothing, and the
    // probe that misses ends at the slot the node takes. A known key leaves
    // the room for the next.
    words_.reserve(words);
    index_.reserve_more(1);
    uint32_t* const lookup = words_.room();
    e = encode(p, ids, desc, lookup);
    const NodePos found = find_node(p.hash, e, lookup, slot);
    if (!found.is_none()) return {NodeId::at(found), false};
  }

  // A new node. Room for everything first: after this point nothing throws,
  // so a failed allocation leaves the arena as it was.
  if (texts_.size() + new_texts > kMaxTexts) throw std::bad_alloc();
  if (external && descs_.size() >= kMaxDescriptors) throw std::bad_alloc();
  if (new_texts != 0) {  // most keys of a growing graph bring none
    texts_.reserve_more(new_texts);
    text_index_.reserve_more(new_texts);
    text_bytes_.reserve(new_bytes);
  }
  if (external) {
    descs_.reserve_more(1);
    desc_index_.reserve_more(1);
  }
  reserve_node(words, indexed);

  std::size_t added_texts = 0;
  std::size_t added_bytes = 0;
  for (std::size_t k = 0; new_texts != 0 && k < text_count; ++k) {
    if (!ids[k].is_none()) continue;
    // A text may occur twice in one key: the later one takes the earlier's
    // id. Keys with many new texts ask the index rather than scan.
    TextId earlier;
    if (new_occurrences <= 8) {
      for (std::size_t j = 0; j < k; ++j) {
        if (same_in_key(j, k)) {
          earlier = ids[j];
          break;
        }
      }
    } else {
      earlier = find_text(texts[k], hashes[k]);
    }
    if (earlier.is_none()) {
      // Counted above without an index past the first few: hold the count
      // here, before writing into the room it made.
      added_bytes += texts[k].size();
      if (++added_texts > new_texts || added_bytes > new_bytes) panic("a key's new texts outgrew their room");
      earlier = add_text(texts[k], hashes[k]);
    }
    ids[k] = earlier;
  }
  // An External's descriptor not found above is new: either the lookup
  // missed, or one of its texts is new, which no known descriptor holds.
  if (desc.is_none()) desc = add_desc(p, ids);
  uint32_t* w = words_.take(words);  // holds the key's words already when it was looked up
  if (!look_up) e = encode(p, ids, desc, w);
  return {push_node(w, e, p.hash, indexed, look_up ? std::optional<std::size_t>(slot) : std::nullopt), true};
}

// Inline: every new node goes through these two, the builders' hottest path.
[[gnu::always_inline]] inline void NodeArena::reserve_node(std::size_t words, bool indexed) {
  if (records_.size() >= kMaxNodes) throw std::bad_alloc();
  records_.reserve_more(1);
  if (indexed) {
    index_.reserve_more(1);
  } else if (unindexed_.size() == unindexed_.capacity()) {
    unindexed_.reserve(2 * unindexed_.size() + 64);
  }
  words_.reserve(words);
}

[[gnu::always_inline]] inline NodeId NodeArena::push_node(const uint32_t* w, Encoded e,
                                                          uint32_t hash, bool indexed,
                                                          std::optional<std::size_t> slot) {
  const NodeId id(records_.size());
  records_.push_back(NodeRecord{w, e.part, e.meta});
  if (slot) {
    index_.insert_at(*slot, hash, id.pos().word());
  } else if (indexed) {
    index_.insert(hash, id.pos().word());
  } else {
    unindexed_.push_back(hash);
  }
  return id;
}

std::pair<NodeId, bool> NodeArena::KeyWriter::finish(NodeArena& a, bool indexed) {
  if (&a != &a_) panic("a written key is interned into another arena");
  if (inputs_left_ != 0 || params_left_ != 0) panic("a written key lacks parts it announced");
  if (a.records_.size() < nodes_) panic("a written key names nodes its arena does not hold");
  // A lookup now would miss the appended nodes and could add one twice.
  if (indexed && !a.unindexed_.empty()) panic("a node is interned while appended nodes are unindexed");
  const Encoded e{part_, NodeRecord::make_meta(kind_, has_params_, inputs_)};
  const uint32_t hash = hasher_.end();
  const std::size_t words = static_cast<std::size_t>(w_ - words_);
  std::optional<std::size_t> slot;
  if (indexed) {
    a.index_.reserve_more(1);  // first, so that the probe's slot stays the insert's
    std::size_t at = 0;
    const NodePos found = a.find_node(hash, e, words_, at);
    if (!found.is_none()) return {NodeId::at(found), false};
    slot = at;
  }
  a.reserve_node(words, indexed);
  // Nothing throws from here on.
  uint32_t* const w = a.words_.take(words);
  std::copy(words_, w_, w);
  return {a.push_node(w, e, hash, indexed, slot), true};
}

}  // namespace velmora
