#include "serialize/blob.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "absl/container/inlined_vector.h"
#include "base/huge_pages.h"
#include "serialize/utf8.h"

namespace velmora {
namespace {

constexpr uint8_t kMagic[4] = {'V', 'I', 'R', '1'};

// Sizes that bound what a blob's bytes can hold: reservations follow them,
// never an untrusted count.
constexpr std::size_t kStageRefBytes = 1 + 4;
// The magic and the node count.
constexpr std::size_t kHeaderBytes = 4 + 4;
// No record is shorter than a tag and two counts (a Source's name length and
// param count; a Stage's, Exchange's or Join's two counts, as the others').
constexpr std::size_t kLeastRecordBytes = 1 + 4 + 4;

// ------------------------------------------------------------------ writing

ParamRef to_ref(const ParamRef& r) { return r; }
ParamRef to_ref(const Param& p) { return ParamRef::of(p); }

// Appends little-endian fields to chunks that never move, each as large as
// all before it together (or as the rest of one text, if that is larger).
// Only fixed-width fields of a few bytes skip a chunk's last bytes, so
// whatever the mix of record sizes the chunks hold at most about twice the
// bytes written, and none is copied: the chunks are the blob. Every count,
// length and stage argument index goes through `field`, which refuses what
// its u32 cannot hold; after a refusal `failure` names what overflowed and
// the chunks are abandoned.
class Writer {
 public:
  // `at_least` is a size the blob certainly reaches, for the first chunk: a
  // large one starts on huge pages rather than thousands of small ones.
  Writer(uint64_t field_max, std::size_t at_least)
      : max_(field_max), first_(std::max<std::size_t>(at_least, 64)) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // What was written.
  [[nodiscard]] Blob finish() && {
    close_chunk();
    return Blob(std::move(chunks_));
  }

  void u8(uint8_t v) { *room(1) = v; }
  void u64(uint64_t v) { put_le(v, 8); }

  bool field(std::string_view what, uint64_t n) {
    if (n > max_) [[unlikely]] return too_large(what, n);
    put_le(n, 4);
    return true;
  }

  bool string(std::string_view s) {
    if (!field("string length", s.size())) return false;
    // A long text fills the current chunk before it opens the next, so no
    // chunk but the last is left with room unused.
    const auto left = static_cast<std::size_t>(end_ - next_);
    if (s.size() > left) [[unlikely]] {
      if (left > 0) std::memcpy(room(left), s.data(), left);
      s.remove_prefix(left);
    }
    if (!s.empty()) std::memcpy(room(s.size()), s.data(), s.size());
    return true;
  }

  template <typename Params>
  bool params(const Params& params, std::size_t count) {
    if (!field("param count", count)) return false;
    for (const auto& item : params) {
      const ParamRef r = to_ref(item);
      if (!string(r.name)) return false;
      u8(static_cast<uint8_t>(r.kind));
      switch (r.kind) {
        case ParamValue::Kind::kInt:
        case ParamValue::Kind::kFloat: u64(r.bits); break;  // a float's NaN payload is kept
        case ParamValue::Kind::kBool: u8(r.bits != 0 ? 1 : 0); break;
        case ParamValue::Kind::kStr:
          if (!string(r.str)) return false;
          break;
      }
    }
    return true;
  }

  bool inputs(InputIds ids) {
    if (!field("input count", ids.size())) return false;
    for (NodeId id : ids) u64(id.value());
    return true;
  }

  bool members(const NodeView& node) {
    if (!field("stage member count", node.member_count())) return false;
    bool ok = true;
    node.for_each_member([&](const MemberView& m) {
      if (!ok) return;
      if (!string(m.op) || !field("stage argument count", m.argc)) {
        ok = false;
        return;
      }
      for (uint32_t k = 0; k < m.argc && ok; ++k) {
        const StageRef ref = m.ref(k);
        u8(static_cast<uint8_t>(ref.kind));
        ok = field("stage argument index", ref.index);
      }
    });
    return ok;
  }

  bool node(const NodeView& node) {
    u8(static_cast<uint8_t>(node.kind()));
    for (Part part : kind_info(node.kind()).parts()) {
      if (!node_part(node, part)) return false;
    }
    return true;
  }

  bool node_part(const NodeView& node, Part part) {
    switch (part) {
      case Part::kName: return string(node.name());
      case Part::kDescriptor: {
        const DescriptorView d = node.descriptor();
        if (!string(d.kind) || !string(d.content_hash) || !string(d.framework) ||
            !string(d.version) || !string(d.io_schema)) {
          return false;
        }
        if (!d.preprocessing_ref) {
          u8(0);
          return true;
        }
        u8(1);
        return string(*d.preprocessing_ref);
      }
      case Part::kParams: {
        const ParamsView p = node.params();
        return params(p, p.size());
      }
      case Part::kInputs: return inputs(node.inputs());
      case Part::kMembers: return members(node);
    }
    return false;
  }

  [[nodiscard]] const std::string& failure() const { return failure_; }

 private:
  [[gnu::cold, gnu::noinline]] bool too_large(std::string_view what, uint64_t n) {
    failure_ = std::string(what) + " " + std::to_string(n) +
               " exceeds the blob field limit of " + std::to_string(max_);
    return false;
  }

  // Room for `n` more bytes, returned as the place to write them.
  uint8_t* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - next_) < n) [[unlikely]] grow(n);
    uint8_t* at = next_;
    next_ += n;
    return at;
  }
  [[gnu::noinline]] void grow(std::size_t n) {
    close_chunk();
    const std::size_t size = std::max({n, written_, first_});
    chunks_.reserve(chunks_.size() + 1);
    chunks_.push_back(Chunk{std::make_unique_for_overwrite<uint8_t[]>(size), 0});
    next_ = chunks_.back().data.get();
    end_ = next_ + size;
    advise_huge_pages(next_, size);
  }
  // Counts the current chunk's bytes as written.
  void close_chunk() {
    if (chunks_.empty()) return;
    Chunk& c = chunks_.back();
    const auto used = static_cast<std::size_t>(next_ - c.data.get());
    written_ += used - c.size;
    c.size = used;
  }
  void put_le(uint64_t v, std::size_t width) {
    uint8_t bytes[8];
    for (std::size_t k = 0; k < 8; ++k) bytes[k] = static_cast<uint8_t>(v >> (8 * k));
    std::memcpy(room(width), bytes, width);
  }

  using Chunk = Blob::Chunk;  // its size: the bytes written, once the chunk is closed
  uint64_t max_;
  std::size_t first_;  // the first chunk's size
  std::vector<Chunk> chunks_;
  uint8_t* next_ = nullptr;  // where the current chunk's next byte goes
  uint8_t* end_ = nullptr;  // the current chunk's end
  std::size_t written_ = 0;  // the closed chunks' bytes
  std::string failure_;
};

// ------------------------------------------------------------------ reading

DecodeError truncated() { return DecodeError{DecodeError::Kind::kTruncated, {}, 0}; }
DecodeError invalid_tag(const char* item, uint8_t tag) {
  return DecodeError{DecodeError::Kind::kInvalidTag, item, tag};
}
DecodeError bad_reference(uint64_t n) {
  return DecodeError{DecodeError::Kind::kBadReference, {}, n};
}

// A forward cursor over the blob. Each read checks the remaining bytes first;
// on failure it records the error and returns false, and the caller stops.
class Reader {
 public:
  Reader(std::span<const uint8_t> data, std::size_t pos) : data_(data), pos_(pos) {}

  [[nodiscard]] std::size_t remaining() const { return data_.size() - pos_; }
  [[nodiscard]] std::size_t position() const { return pos_; }
  [[nodiscard]] const DecodeError& error() const { return error_; }

  bool fail(DecodeError e) {
    error_ = std::move(e);
    return false;
  }

  bool u8(uint8_t& v) {
    if (remaining() < 1) return fail(truncated());
    v = data_[pos_++];
    return true;
  }
  bool u32(uint32_t& v) {
    if (remaining() < 4) return fail(truncated());
    v = static_cast<uint32_t>(le(4));
    return true;
  }
  bool u64(uint64_t& v) {
    if (remaining() < 8) return fail(truncated());
    v = le(8);
    return true;
  }

  // A text, checked as UTF-8 unless `kChecked` is false; the view borrows the
  // blob. A record written straight into the store reads its texts
  // unchecked: it uses one only when the store holds the same bytes, and
  // every text a blob brings into the store was checked, so such a text is
  // valid; one the store lacks sends the record the checking way.
  template <bool kChecked = true>
  bool text(std::string_view& s) {
    uint32_t len;
    if (!u32(len)) return false;
    if (remaining() < len) return fail(truncated());
    const uint8_t* p = data_.data() + pos_;
    if (kChecked && !is_valid_utf8(p, len)) return fail(DecodeError{DecodeError::Kind::kInvalidUtf8, {}, 0});
    s = std::string_view(reinterpret_cast<const char*>(p), len);
    pos_ += len;
    return true;
  }

  // One record read into `s.key`, borrowing the blob's texts; `index` is its
  // position in the blob. The scratch space is reused from record to record.
  struct Scratch {
    NodeArena::Prepared key;
    absl::InlinedVector<NodeId, 4> inputs;
    struct Param {
      std::string_view name;
      ParamValue::Kind kind;
      uint64_t bits;
      std::string_view str;
    };
    std::vector<Param> params;
    // The record written straight into the arena's encoding, when it could be.
    std::optional<NodeArena::KeyWriter> written;
  };

  // The record at the cursor written into `s.written` against `arena`, which
  // holds the records before it once the key is appended: when the writer
  // takes every part (a kind it knows, texts the arena holds, params in
  // order, few enough words). Otherwise, and on any fault, false with the
  // cursor back at the record and `s.written` empty: `record` reads it again
  // and reports what it finds.
  bool written_record(uint64_t index, const NodeArena& arena, Scratch& s) {
    s.written.reset();
    if (remaining() == 0 || data_[pos_] >= NodeKey::kKindCount) return false;
    const auto kind = static_cast<NodeKey::Kind>(data_[pos_]);
    const KindInfo& info = kind_info(kind);
    if (info.has(Part::kDescriptor) || info.has(Part::kMembers)) return false;
    const std::size_t start = pos_++;
    if (write_parts(info, s.written.emplace(arena, kind, index))) return true;
    s.written.reset();
    pos_ = start;
    return false;
  }

  bool record(uint64_t index, Scratch& s) {
    NodeArena::Prepared& p = s.key;
    p.texts.clear();
    p.text_hashes.clear();
    p.params.clear();
    p.refs.clear();
    p.argc.clear();
    p.has_preprocessing_ref = false;
    s.inputs.clear();
    uint8_t tag;
    if (!u8(tag)) return false;
    if (tag >= NodeKey::kKindCount) return fail(invalid_tag("node", tag));
    p.kind = static_cast<NodeKey::Kind>(tag);
    for (Part part : kind_info(p.kind).parts()) {
      if (!record_part(index, part, s)) return false;
    }
    p.inputs = std::span<const NodeId>(s.inputs.data(), s.inputs.size());
    p.finish();
    return true;
  }

  bool record_part(uint64_t index, Part part, Scratch& s) {
    NodeArena::Prepared& p = s.key;
    std::string_view t;
    switch (part) {
      case Part::kName:
        if (!text(t)) return false;
        p.add_text(t);
        return true;
      case Part::kDescriptor: {
        for (int k = 0; k < 5; ++k) {
          if (!text(t)) return false;
          p.add_text(t);
        }
        uint8_t present;
        if (!u8(present)) return false;
        if (present != 0) {
          if (!text(t)) return false;
          p.add_text(t);
          p.has_preprocessing_ref = true;
        }
        return true;
      }
      case Part::kParams: return params(s);
      case Part::kInputs: return inputs(index, s);
      case Part::kMembers: return members(s);
    }
    return false;
  }

 private:
  // Each param takes two words at least.
  static constexpr uint32_t kHeldParams = NodeArena::KeyWriter::kMaxWords / 2;

  // A record's parts come name, params, inputs; the writer takes the inputs
  // before the params, as the words hold them, so the params wait. The name
  // has to come first, as the hash mixes it.
  static_assert(std::ranges::all_of(kKinds, [](const KindInfo& k) { return !k.named() || k.parts()[0] == Part::kName; }),
                "a name comes first");
  bool write_parts(const KindInfo& info, NodeArena::KeyWriter& w) {
    Scratch::Param held[kHeldParams];
    uint32_t count = 0;
    bool has_inputs = false;
    for (Part part : info.parts()) {
      std::string_view name;
      uint32_t n;
      switch (part) {
        case Part::kName:
          if (!text<false>(name) || !w.name(name)) return false;
          break;
        case Part::kParams:
          if (!u32(count) || count > kHeldParams) return false;
          for (uint32_t e = 0; e < count; ++e) {
            if (!param<false>(held[e])) return false;
          }
          break;
        case Part::kInputs:
          if (!u32(n) || !w.inputs(n)) return false;
          for (uint32_t e = 0; e < n; ++e) {
            uint64_t id;
            if (!u64(id) || !w.input(NodeId(id))) return false;
          }
          has_inputs = true;
          break;
        default: return false;
      }
    }
    if (!has_inputs && !w.inputs(0)) return false;
    w.params(count);
    for (uint32_t e = 0; e < count; ++e) {
      const Scratch::Param& q = held[e];
      const bool taken = q.kind == ParamValue::Kind::kStr ? w.str_param(q.name, q.str)
                                                          : w.param(q.name, q.kind, q.bits);
      if (!taken) return false;
    }
    return true;
  }

  // Params go straight into the key while their names come in order, as
  // writers emit them; a blob whose names do not is read again from their
  // start, and sorted.
  bool params(Scratch& s) {
    const std::size_t start = pos_;
    const std::size_t first_text = s.key.texts.size();
    uint32_t count;
    if (!u32(count)) return false;
    std::string_view last;
    for (uint32_t e = 0; e < count; ++e) {
      Scratch::Param q{};
      if (!param(q)) return false;
      if (e > 0 && q.name < last) {
        s.key.texts.resize(first_text);
        s.key.text_hashes.resize(first_text);
        s.key.params.clear();
        pos_ = start;
        return sorted_params(s);
      }
      last = q.name;
      add_param(s, q);
    }
    return true;
  }

  bool sorted_params(Scratch& s) {
    uint32_t count;
    if (!u32(count)) return false;
    s.params.clear();
    for (uint32_t e = 0; e < count; ++e) {
      Scratch::Param q{};
      if (!param(q)) return false;
      s.params.push_back(q);
    }
    // Sorted exactly as any map is built, so unsorted params in a hand-made
    // blob give the same node.
    auto by_name = [](const Scratch::Param& a, const Scratch::Param& b) { return a.name < b.name; };
    std::stable_sort(s.params.begin(), s.params.end(), by_name);
    for (const Scratch::Param& q : s.params) add_param(s, q);
    return true;
  }

  template <bool kChecked = true>
  bool param(Scratch::Param& q) {
    uint8_t tag;
    if (!text<kChecked>(q.name) || !u8(tag)) return false;
    switch (tag) {
      case 0:
      case 1:
        if (!u64(q.bits)) return false;
        break;
      case 2: {
        uint8_t v;
        if (!u8(v)) return false;
        q.bits = v != 0 ? 1 : 0;
        break;
      }
      case 3:
        if (!text<kChecked>(q.str)) return false;
        break;
      default: return fail(invalid_tag("param", tag));
    }
    q.kind = static_cast<ParamValue::Kind>(tag);
    return true;
  }

  static void add_param(Scratch& s, const Scratch::Param& q) {
    s.key.add_text(q.name);
    s.key.add_param(q.kind, q.bits);
    if (q.kind == ParamValue::Kind::kStr) s.key.add_text(q.str);
  }

  // Input ids, each below `bound` (the index of the node being read).
  bool inputs(uint64_t bound, Scratch& s) {
    uint32_t count;
    if (!u32(count)) return false;
    for (uint32_t e = 0; e < count; ++e) {
      uint64_t id;
      if (!u64(id)) return false;
      if (id >= bound) return fail(bad_reference(id));
      s.inputs.push_back(NodeId(id));
    }
    return true;
  }

  // A stage's members, whose Input(k) arguments index the stage's inputs.
  bool members(Scratch& s) {
    const std::size_t input_count = s.inputs.size();
    uint32_t count;
    if (!u32(count)) return false;
    for (uint32_t j = 0; j < count; ++j) {
      std::string_view op;
      uint32_t argc;
      if (!text(op) || !u32(argc)) return false;
      s.key.add_member(op, argc);
      for (uint32_t a = 0; a < argc; ++a) {
        if (remaining() < kStageRefBytes) return fail(truncated());
        const uint8_t tag = data_[pos_++];
        const uint32_t k = static_cast<uint32_t>(le(4));
        if (tag == 0) {
          // A stage reading past its own inputs could never be evaluated.
          if (k >= input_count) return fail(bad_reference(k));
          s.key.add_ref(StageRef::Input(k));
        } else if (tag == 1) {
          if (k >= j) return fail(bad_reference(k));
          s.key.add_ref(StageRef::Member(k));
        } else {
          return fail(invalid_tag("stage-ref", tag));
        }
      }
    }
    return true;
  }

 private:
  // Reads `width` (4 or 8) bytes little-endian; the caller has checked they
  // are there.
  uint64_t le(std::size_t width) {
    uint64_t v = 0;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(&v, data_.data() + pos_, width);
    } else {
      for (std::size_t k = 0; k < width; ++k) v |= static_cast<uint64_t>(data_[pos_ + k]) << (8 * k);
    }
    pos_ += width;
    return v;
  }

  std::span<const uint8_t> data_;
  std::size_t pos_;
  DecodeError error_;
};

}  // namespace

std::string DecodeError::message() const {
  switch (kind) {
    case Kind::kBadMagic: return "not a velmora IR blob (bad magic/version)";
    case Kind::kTruncated: return "truncated velmora IR blob";
    case Kind::kInvalidTag: return "invalid " + item + " tag " + std::to_string(value);
    case Kind::kInvalidUtf8: return "invalid utf-8 in velmora IR blob";
    case Kind::kBadReference: return "node reference " + std::to_string(value) + " out of range";
  }
  return "velmora IR blob error";
}

Blob::Blob(std::vector<Chunk> chunks) : chunks_(std::move(chunks)) {
  for (const Chunk& c : chunks_) size_ += c.size;
}

void Blob::copy_to(uint8_t* out) const {
  for (const Chunk& c : chunks_) {
    if (c.size > 0) std::memcpy(out, c.data.get(), c.size);
    out += c.size;
  }
}

std::vector<uint8_t> Blob::bytes() const {
  std::vector<uint8_t> out(size_);
  copy_to(out.data());
  return out;
}

Status<EncodeError> put_params(std::vector<uint8_t>& out, const ParamMap& params,
                               uint64_t field_max) {
  Writer w(field_max, 0);
  if (!w.params(params, params.size())) {
    return Err(EncodeError{"cannot serialize params: " + w.failure()});
  }
  const Blob blob = std::move(w).finish();
  const std::size_t at = out.size();
  out.resize(at + blob.size());
  blob.copy_to(out.data() + at);
  return {};
}

Result<Blob, EncodeError> encode_blob(const NodesView& nodes, const std::vector<NodeId>& outputs,
                                      uint64_t field_max) {
  Writer w(field_max, kHeaderBytes + kLeastRecordBytes * nodes.size() + 4 + 8 * outputs.size());
  for (uint8_t b : kMagic) w.u8(b);
  if (!w.field("node count", nodes.size())) {
    return Err(EncodeError{"cannot serialize: " + w.failure()});
  }
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (!w.node(nodes[i])) {
      return Err(EncodeError{"cannot serialize node " + std::to_string(i) + ": " + w.failure()});
    }
  }
  if (!w.field("output count", outputs.size())) {
    return Err(EncodeError{"cannot serialize: " + w.failure()});
  }
  for (NodeId id : outputs) w.u64(id.value());
  return std::move(w).finish();
}

Result<Blob, EncodeError> serialize_with(const GraphStore& store,
                                         const std::vector<NodeId>& outputs) {
  // The lock is held only to read the node count; encoding reads the nodes
  // in place, which never change once interned.
  const Snapshot snap = store.snapshot();
  return encode_blob(snap.nodes, outputs);
}

Result<std::unique_ptr<GraphStore>, DecodeError> deserialize(std::span<const uint8_t> data) {
  if (data.size() < 4) return Err(truncated());
  if (std::memcmp(data.data(), kMagic, 4) != 0) {
    return Err(DecodeError{DecodeError::Kind::kBadMagic, {}, 0});
  }
  if (data.size() < 8) return Err(truncated());
  const uint32_t node_count = static_cast<uint32_t>(data[4]) | static_cast<uint32_t>(data[5]) << 8 |
                              static_cast<uint32_t>(data[6]) << 16 |
                              static_cast<uint32_t>(data[7]) << 24;

  StoreBuilder store;
  // The store grows with the records actually read, never by the count the
  // blob announces; reserving for all the bytes could hold cost more (its
  // index is touched when made) than growing does. The records read so far,
  // though, tell by their size how many the bytes hold in all: at a few
  // points the store makes room for up to that many at once, never for more
  // than eight times the records read, which spares it most of its growing.
  uint64_t size_at = 4096;  // the next of those points
  Reader r(data, 8);
  // Every record takes at least its tag byte, so an inflated count runs out of
  // bytes after at most data.size() rounds.
  //
  // Records are read a few ahead of adding. One whose texts the store holds
  // already is written straight into the store's encoding as it is read
  // (`Reader::written_record`), its texts looked up then. Any other starts
  // fetching the text and descriptor slots it will probe: they are then on
  // their way from memory while the records before it are added. The store is this
  // function's alone until it returns, so no lock is taken.
  //
  // A blob never repeats a record (it is refused at the first repeat), so
  // records are appended without a lookup and indexed once at the end, which
  // overlaps the index's cache misses. Whatever stops the reading reports
  // only after the records before it are indexed, so that a repeat among
  // them reports first, as it would have on arrival.
  auto stop = [&store](DecodeError e) {
    if (const auto repeat = store.index_appended()) return bad_reference(repeat->value());
    return e;
  };
  constexpr uint64_t kAhead = 2;
  Reader::Scratch ring[kAhead + 1];
  uint64_t read = 0;  // records [0, read) are read
  bool stopped = false;
  auto read_next = [&] {
    if (stopped || read == node_count) return;
    Reader::Scratch& s = ring[read % (kAhead + 1)];
    if (r.written_record(read, store.arena(), s)) {
      ++read;
      return;
    }
    if (!r.record(read, s)) {
      stopped = true;
      return;
    }
    store.prefetch_parts(s.key);
    ++read;
  };
  for (uint64_t k = 0; k < kAhead; ++k) read_next();
  for (uint64_t i = 0; i < node_count; ++i) {
    read_next();
    if (i == read) return Err(stop(r.error()));
    if (i == size_at) {
      size_at *= 8;
      const double per_record = static_cast<double>(r.position() - 8) / static_cast<double>(read);
      const auto in_bytes = static_cast<uint64_t>(static_cast<double>(data.size() - 8) / per_record);
      const uint64_t expected = std::min({in_bytes, uint64_t{node_count}, size_at});
      if (expected > i) store.reserve_appended(expected - i);
    }
    Reader::Scratch& s = ring[i % (kAhead + 1)];
    if (s.written) {
      store.append(*s.written);
      continue;
    }
    auto id = store.append(s.key);
    if (!id) return Err(stop(bad_reference(id.error().id.value())));
  }
  // A record equal to an earlier one would make every later index name the
  // wrong node: its own index is no node at all.
  if (const auto repeat = store.index_appended()) return Err(bad_reference(repeat->value()));

  uint32_t output_count;
  if (!r.u32(output_count)) return Err(r.error());
  for (uint32_t e = 0; e < output_count; ++e) {
    uint64_t id;
    if (!r.u64(id)) return Err(r.error());
    if (auto marked = store.mark_output(NodeId(id)); !marked) {
      return Err(bad_reference(marked.error().id.value()));
    }
  }
  return std::move(store).finish();
}

}  // namespace velmora
