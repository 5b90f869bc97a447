// ParamValue and ParamMap: the typed parameters of an IR node. Floats compare
// by bit pattern with every NaN folded to one; a map is stably sorted by name
// and keeps duplicate names.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/arena_id.h"

namespace velmora {

// A float's IEEE pattern as equality and hashing take it: every NaN folds to
// 0x7FF8000000000000. Inline, as every key's hash takes it.
[[nodiscard]] inline uint64_t canonical_float_bits(uint64_t bits) {
  return std::isnan(std::bit_cast<double>(bits)) ? uint64_t{0x7FF8000000000000ULL} : bits;
}

class ParamValue {
 public:
  // The variant index is the kind's ordinal and its tag byte.
  enum class Kind : uint8_t { kInt = 0, kFloat = 1, kBool = 2, kStr = 3 };
  using Storage = std::variant<int64_t, double, bool, std::string>;

  static ParamValue Int(int64_t v) { return ParamValue(Storage(std::in_place_index<0>, v)); }
  static ParamValue Float(double v) { return ParamValue(Storage(std::in_place_index<1>, v)); }
  static ParamValue Bool(bool v) { return ParamValue(Storage(std::in_place_index<2>, v)); }
  static ParamValue Str(std::string v) {
    return ParamValue(Storage(std::in_place_index<3>, std::move(v)));
  }

  [[nodiscard]] Kind kind() const { return static_cast<Kind>(v_.index()); }
  [[nodiscard]] int64_t as_int() const { return std::get<0>(v_); }
  [[nodiscard]] double as_float() const { return std::get<1>(v_); }
  [[nodiscard]] bool as_bool() const { return std::get<2>(v_); }
  [[nodiscard]] const std::string& as_str() const { return std::get<3>(v_); }

  // The raw IEEE pattern as stored (what the blob writes).
  [[nodiscard]] uint64_t float_bits() const { return std::bit_cast<uint64_t>(as_float()); }
  // The pattern equality and tokens use: every NaN becomes 0x7FF8000000000000.
  [[nodiscard]] uint64_t canonical_bits() const { return canonical_float_bits(float_bits()); }

  // "i42", "f3ff0000000000000", "btrue", "sx%3Dy".
  [[nodiscard]] std::string token() const;
  void append_token(std::string& out) const;
  // The label form: 42, 0.5, true, "quoted \"text\"".
  [[nodiscard]] std::string display() const;

  friend bool operator==(const ParamValue& a, const ParamValue& b);

  template <typename H>
  friend H AbslHashValue(H h, const ParamValue& p) {
    h = H::combine(std::move(h), static_cast<uint8_t>(p.v_.index()));
    switch (p.kind()) {
      case Kind::kInt: return H::combine(std::move(h), p.as_int());
      case Kind::kFloat: return H::combine(std::move(h), p.canonical_bits());
      case Kind::kBool: return H::combine(std::move(h), p.as_bool());
      case Kind::kStr: return H::combine(std::move(h), p.as_str());
    }
    return h;
  }

 private:
  explicit ParamValue(Storage v) : v_(std::move(v)) {}
  Storage v_;
};

using Param = std::pair<std::string, ParamValue>;

// One parameter read in place, without owning its texts: what a store's
// record or a ParamMap pair holds. `bits` is the integer's two's complement,
// the float's raw IEEE pattern or 0/1 for a bool; `str` is a Str's text.
struct ParamRef {
  std::string_view name;
  ParamValue::Kind kind = ParamValue::Kind::kInt;
  uint64_t bits = 0;
  std::string_view str;
  // Where the texts are interned (a store's records), their ids; else none.
  TextId name_id;
  TextId str_id;

  static ParamRef of(const Param& p);
  [[nodiscard]] ParamValue value() const;
  // The value's token and display, as ParamValue gives them.
  void append_token(std::string& out) const;
  [[nodiscard]] std::string display() const;
  // The float pattern equality uses (NaNs folded).
  [[nodiscard]] uint64_t canonical_bits() const { return canonical_float_bits(bits); }
};

class ParamMap {
 public:
  ParamMap() = default;
  // Stable sort by name as bytes; equal names keep their given order.
  explicit ParamMap(std::vector<Param> pairs);

  [[nodiscard]] const std::vector<Param>& pairs() const { return pairs_; }
  [[nodiscard]] bool empty() const { return pairs_.empty(); }
  [[nodiscard]] std::size_t size() const { return pairs_.size(); }
  [[nodiscard]] auto begin() const { return pairs_.begin(); }
  [[nodiscard]] auto end() const { return pairs_.end(); }

  // "scalar=f0000000000000000;side=sr"
  [[nodiscard]] std::string token() const;
  void append_token(std::string& out) const;
  // "{n=3, s=\"x\"}"
  [[nodiscard]] std::string display() const;

  friend bool operator==(const ParamMap& a, const ParamMap& b) { return a.pairs_ == b.pairs_; }

  template <typename H>
  friend H AbslHashValue(H h, const ParamMap& m) {
    return H::combine(std::move(h), m.pairs_);
  }

 private:
  std::vector<Param> pairs_;
};

// `prefix` alone when `params` is empty, otherwise prefix + "|" + params.token().
[[nodiscard]] std::string with_params(std::string prefix, const ParamMap& params);

// Token escaping: % ; = | become %25 %3B %3D %7C; the inverse leaves any other
// percent sequence (including lowercase hex) alone.
[[nodiscard]] std::string escape_token(std::string_view s);
void append_escaped(std::string& out, std::string_view s);
[[nodiscard]] std::string unescape_token(std::string_view s);

// The Str display: a double-quoted literal with backslash escapes, and \u{h}
// for non-printable and grapheme-extending characters.
[[nodiscard]] std::string quote_str(std::string_view s);

// The Float display: shortest round-trip decimal, never exponent form.
[[nodiscard]] std::string display_float(double v);

}  // namespace velmora
