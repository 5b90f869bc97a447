// A second reading of the blob format, kept apart from the reader and simple:
// it stops at the first problem with the message the reader must give, and
// otherwise writes the canonical bytes of what it read (bool and presence
// bytes 0 or 1, params stably sorted by name, each output once, nothing after
// the outputs). Like the reader, it refuses a record equal to an earlier one
// (at its index) and a stage's Input(k) at or past the stage's input count.
#pragma once

#include <algorithm>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "serialize/blob.h"

namespace velmora::blob_decoder {

using Bytes = std::vector<uint8_t>;

// UTF-8 by its definition: the bit layout, the shortest form, no surrogate, at most U+10FFFF.
inline bool valid_utf8(const uint8_t* s, std::size_t n) {
  for (std::size_t i = 0; i < n;) {
    const uint8_t b = s[i];
    const std::size_t len = b < 0x80 ? 1 : b >> 5 == 6 ? 2 : b >> 4 == 14 ? 3 : b >> 3 == 30 ? 4 : 0;
    if (len == 0 || i + len > n) return false;
    uint32_t cp = len == 1 ? b : b & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    const uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_for_len[len] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
    i += len;
  }
  return true;
}

class Decoder {
 public:
  explicit Decoder(std::span<const uint8_t> in) : in_(in) {}

  // The canonical bytes of the blob, or throws the reader's message.
  Bytes run() {
    if (in_.size() < 4) throw std::string(kTruncated);
    if (!std::equal(in_.begin(), in_.begin() + 4, "VIR1")) {
      throw std::string("not a velmora IR blob (bad magic/version)");
    }
    pos_ = 4;
    Bytes out = {'V', 'I', 'R', '1'};
    const uint32_t n = count(out);
    std::set<Bytes> seen;
    for (uint64_t i = 0; i < n; ++i) {
      std::vector<std::size_t> nans;
      const Bytes record = read_record(i, nans);
      Bytes same = record;  // every NaN alike: equal bytes, equal nodes
      for (std::size_t at : nans) std::fill(same.begin() + at, same.begin() + at + 8, 0xFF);
      if (!seen.insert(same).second) throw bad_ref(i);
      out.insert(out.end(), record.begin(), record.end());
    }
    std::vector<uint64_t> outputs;
    for (uint32_t m = u32(); m > 0; --m) {
      const uint64_t id = le(8);
      if (id >= n) throw bad_ref(id);
      if (std::find(outputs.begin(), outputs.end(), id) == outputs.end()) outputs.push_back(id);
    }
    put(out, outputs.size(), 4);
    for (uint64_t id : outputs) put(out, id, 8);
    return out;
  }

 private:
  static constexpr const char* kTruncated = "truncated velmora IR blob";
  static std::string bad_ref(uint64_t n) { return "node reference " + std::to_string(n) + " out of range"; }
  static std::string bad_tag(const char* item, int tag) {
    return std::string("invalid ") + item + " tag " + std::to_string(tag);
  }
  static void put(Bytes& out, uint64_t v, int width) {
    for (int k = 0; k < width; ++k) out.push_back(static_cast<uint8_t>(v >> (8 * k)));
  }

  uint64_t le(std::size_t width) {
    if (in_.size() - pos_ < width) throw std::string(kTruncated);
    uint64_t v = 0;
    for (std::size_t k = 0; k < width; ++k) v |= uint64_t{in_[pos_++]} << (8 * k);
    return v;
  }
  uint8_t u8() { return static_cast<uint8_t>(le(1)); }
  uint32_t u32() { return static_cast<uint32_t>(le(4)); }
  // A count or a text, copied to `out` and returned.
  uint32_t count(Bytes& out) {
    const uint32_t n = u32();
    put(out, n, 4);
    return n;
  }
  std::string text(Bytes& out) {
    const uint32_t len = count(out);
    if (in_.size() - pos_ < len) throw std::string(kTruncated);
    if (!valid_utf8(in_.data() + pos_, len)) throw std::string("invalid utf-8 in velmora IR blob");
    const std::string s(reinterpret_cast<const char*>(in_.data() + pos_), len);
    pos_ += len;
    out.insert(out.end(), s.begin(), s.end());
    return s;
  }

  // Record `index` as canonical bytes; `nans` gets where its NaN floats are.
  Bytes read_record(uint64_t index, std::vector<std::size_t>& nans) {
    const uint8_t tag = u8();
    if (tag > 6) throw bad_tag("node", tag);
    Bytes out{tag};
    if (tag <= 2) text(out);
    if (tag == 3) {
      for (int f = 0; f < 5; ++f) text(out);
      out.push_back(u8() != 0);
      if (out.back() != 0) text(out);
    }
    if (tag != 4) read_params(out, nans);
    if (tag == 0) return out;
    const uint32_t inputs = count(out);
    for (uint32_t k = 0; k < inputs; ++k) {
      const uint64_t id = le(8);
      if (id >= index) throw bad_ref(id);
      put(out, id, 8);
    }
    for (uint32_t j = 0, members = tag == 4 ? count(out) : 0; j < members; ++j) {
      text(out);
      for (uint32_t a = count(out); a > 0; --a) {
        if (in_.size() - pos_ < 5) throw std::string(kTruncated);
        const uint8_t ref = u8();
        const uint32_t k = u32();
        if (ref > 1) throw bad_tag("stage-ref", ref);
        if (k >= (ref == 0 ? inputs : j)) throw bad_ref(k);
        out.push_back(ref);
        put(out, k, 4);
      }
    }
    return out;
  }

  void read_params(Bytes& out, std::vector<std::size_t>& nans) {
    struct Param {
      std::string name;
      Bytes bytes;  // name, tag and value
      bool nan = false;
    };
    std::vector<Param> params;  // grows with what is read, whatever the count says
    for (uint32_t c = u32(); c > 0; --c) {
      Param& p = params.emplace_back();
      p.name = text(p.bytes);
      const uint8_t tag = u8();
      p.bytes.push_back(tag);
      if (tag > 3) throw bad_tag("param", tag);
      const uint64_t bits = tag <= 1 ? le(8) : tag == 2 ? u8() != 0 : 0;
      if (tag <= 2) put(p.bytes, bits, tag == 2 ? 1 : 8);
      if (tag == 3) text(p.bytes);
      p.nan = tag == 1 && (bits & 0x7FFFFFFFFFFFFFFFULL) > 0x7FF0000000000000ULL;
    }
    std::stable_sort(params.begin(), params.end(), [](const Param& a, const Param& b) { return a.name < b.name; });
    put(out, params.size(), 4);
    for (const Param& p : params) {
      out.insert(out.end(), p.bytes.begin(), p.bytes.end());
      if (p.nan) nans.push_back(out.size() - 8);
    }
  }

  std::span<const uint8_t> in_;
  std::size_t pos_ = 0;
};

// How the reader differs from the decoder on `blob` (empty when it gives the
// same message, or a store that writes back the canonical bytes and holds each
// node once).
inline std::string disagreement(std::span<const uint8_t> blob) {
  std::string want = "ok";
  Bytes canonical;
  try {
    canonical = Decoder(blob).run();
  } catch (const std::string& message) {
    want = message;
  }
  auto read = deserialize(blob);
  const std::string got = read.ok() ? "ok" : read.error().message();
  if (got != want) return "the reader says \"" + got + "\", the decoder \"" + want + "\"";
  if (!read.ok()) return "";
  GraphStore& store = **read;
  auto written = serialize_with(store, store.outputs());
  if (!written.ok() || written->bytes() != canonical) return "the store does not write back the canonical bytes";
  // A node's key made anew interns to its id, and hashes alike prepared either way.
  const NodesView nodes = store.snapshot().nodes;
  for (uint64_t i = 0; i < nodes.size(); ++i) {
    const NodeKey key = nodes[i].to_key();
    if (store.intern(key).value() != NodeId(i) || nodes[i].prepare(key.inputs()).hash != NodeArena::prepare(key).hash) {
      return "node " + std::to_string(i) + " is not found again";
    }
  }
  return "";
}

}  // namespace velmora::blob_decoder
