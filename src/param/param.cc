#include "param/param.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <optional>
#include <cstdio>

namespace velmora {
namespace {

struct CodeRange {
  char32_t lo;
  char32_t hi;
};
#include "param/unicode_tables.inc"

template <std::size_t N>
bool in_ranges(const CodeRange (&table)[N], char32_t c) {
  auto it = std::upper_bound(std::begin(table), std::end(table), c,
                             [](char32_t v, const CodeRange& r) { return v < r.lo; });
  return it != std::begin(table) && c <= std::prev(it)->hi;
}

void replace_all(std::string& s, std::string_view from, std::string_view to) {
  if (s.find(from) == std::string::npos) return;
  std::string out;
  out.reserve(s.size());
  std::size_t pos = 0;
  for (std::size_t hit; (hit = s.find(from, pos)) != std::string::npos; pos = hit + from.size()) {
    out.append(s, pos, hit - pos);
    out.append(to);
  }
  out.append(s, pos, std::string::npos);
  s = std::move(out);
}

// Decodes one code point of valid UTF-8 at `i`, advancing `i`. A stray byte
// decodes as itself so that display never fails.
char32_t next_code_point(std::string_view s, std::size_t& i) {
  auto b = static_cast<unsigned char>(s[i]);
  int len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return b;
  }
  char32_t c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
  for (int k = 1; k < len; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += len;
  return c;
}

}  // namespace

bool operator==(const ParamValue& a, const ParamValue& b) {
  if (a.v_.index() != b.v_.index()) return false;
  if (a.kind() == ParamValue::Kind::kFloat) return a.canonical_bits() == b.canonical_bits();
  return a.v_ == b.v_;
}

namespace {
ParamRef ref_of(std::string_view name, const ParamValue& v) {
  ParamRef r{name, v.kind(), 0, {}, TextId::none(), TextId::none()};
  switch (v.kind()) {
    case ParamValue::Kind::kInt: r.bits = std::bit_cast<uint64_t>(v.as_int()); break;
    case ParamValue::Kind::kFloat: r.bits = v.float_bits(); break;
    case ParamValue::Kind::kBool: r.bits = v.as_bool() ? 1 : 0; break;
    case ParamValue::Kind::kStr: r.str = v.as_str(); break;
  }
  return r;
}
}  // namespace

ParamRef ParamRef::of(const Param& p) { return ref_of(p.first, p.second); }

ParamValue ParamRef::value() const {
  switch (kind) {
    case ParamValue::Kind::kInt: return ParamValue::Int(std::bit_cast<int64_t>(bits));
    case ParamValue::Kind::kFloat: return ParamValue::Float(std::bit_cast<double>(bits));
    case ParamValue::Kind::kBool: return ParamValue::Bool(bits != 0);
    case ParamValue::Kind::kStr: return ParamValue::Str(std::string(str));
  }
  return ParamValue::Int(0);
}

void ParamRef::append_token(std::string& out) const {
  switch (kind) {
    case ParamValue::Kind::kInt: {
      out += 'i';
      char buf[24];
      auto r = std::to_chars(buf, buf + sizeof buf, std::bit_cast<int64_t>(bits));
      out.append(buf, r.ptr);
      return;
    }
    case ParamValue::Kind::kFloat: {
      static constexpr char kHex[] = "0123456789abcdef";
      const uint64_t canonical = canonical_bits();
      char buf[17];
      buf[0] = 'f';
      for (int i = 0; i < 16; ++i) buf[16 - i] = kHex[(canonical >> (4 * i)) & 0xF];
      out.append(buf, sizeof buf);
      return;
    }
    case ParamValue::Kind::kBool: out += bits != 0 ? "btrue" : "bfalse"; return;
    case ParamValue::Kind::kStr:
      out += 's';
      append_escaped(out, str);
      return;
  }
}

std::string ParamRef::display() const {
  switch (kind) {
    case ParamValue::Kind::kInt: return std::to_string(std::bit_cast<int64_t>(bits));
    case ParamValue::Kind::kFloat: return display_float(std::bit_cast<double>(bits));
    case ParamValue::Kind::kBool: return bits != 0 ? "true" : "false";
    case ParamValue::Kind::kStr: return quote_str(str);
  }
  return {};
}

void ParamValue::append_token(std::string& out) const {
  ref_of({}, *this).append_token(out);
}

std::string ParamValue::token() const {
  std::string out;
  append_token(out);
  return out;
}

std::string ParamValue::display() const { return ref_of({}, *this).display(); }

ParamMap::ParamMap(std::vector<Param> pairs) : pairs_(std::move(pairs)) {
  auto by_name = [](const Param& a, const Param& b) { return a.first < b.first; };
  // Most maps arrive sorted (from a dict, a blob or a token); stable_sort
  // would still allocate its buffer.
  if (!std::is_sorted(pairs_.begin(), pairs_.end(), by_name)) {
    std::stable_sort(pairs_.begin(), pairs_.end(), by_name);
  }
}

void ParamMap::append_token(std::string& out) const {
  bool first = true;
  for (const auto& [name, value] : pairs_) {
    if (!first) out += ';';
    first = false;
    append_escaped(out, name);
    out += '=';
    value.append_token(out);
  }
}

std::string ParamMap::token() const {
  std::string out;
  append_token(out);
  return out;
}

std::string ParamMap::display() const {
  std::string out = "{";
  bool first = true;
  for (const auto& [name, value] : pairs_) {
    if (!first) out += ", ";
    first = false;
    out += name;
    out += '=';
    out += value.display();
  }
  out += '}';
  return out;
}

std::string with_params(std::string prefix, const ParamMap& params) {
  if (params.empty()) return prefix;
  prefix += '|';
  params.append_token(prefix);
  return prefix;
}

// One pass is the same as the four replacements in order: the texts put in
// never contain a character that a later replacement would touch again.
void append_escaped(std::string& out, std::string_view s) {
  for (char c : s) {
    switch (c) {
      case '%': out += "%25"; break;
      case ';': out += "%3B"; break;
      case '=': out += "%3D"; break;
      case '|': out += "%7C"; break;
      default: out += c;
    }
  }
}

std::string escape_token(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  append_escaped(out, s);
  return out;
}

std::string unescape_token(std::string_view s) {
  std::string out(s);
  replace_all(out, "%7C", "|");
  replace_all(out, "%3D", "=");
  replace_all(out, "%3B", ";");
  replace_all(out, "%25", "%");
  return out;
}

std::string quote_str(std::string_view s) {
  std::string out = "\"";
  out.reserve(s.size() + 2);
  for (std::size_t i = 0; i < s.size();) {
    std::size_t start = i;
    char32_t c = next_code_point(s, i);
    switch (c) {
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\0': out += "\\0"; continue;
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      default: break;
    }
    if (in_ranges(kGraphemeExtend, c) || in_ranges(kNotPrintable, c)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
      out += buf;
    } else {
      out.append(s.substr(start, i - start));
    }
  }
  out += '"';
  return out;
}

namespace {

// The significant digits of a non-negative finite `mag` in scientific form
// (the point after the first digit), shortest round-trip when `precision` is
// absent; returns the decimal exponent.
int scientific_digits(double mag, std::optional<int> precision, std::string& digits) {
  std::array<char, 800> buf;  // room for the longest exact expansion of a double; to_chars fills it
  const auto r = precision ? std::to_chars(buf.data(), buf.data() + buf.size(), mag,
                                           std::chars_format::scientific, *precision)
                           : std::to_chars(buf.data(), buf.data() + buf.size(), mag,
                                           std::chars_format::scientific);
  const std::string_view sci(buf.data(), static_cast<std::size_t>(r.ptr - buf.data()));
  const std::size_t e = sci.find('e');
  digits.clear();
  for (char c : sci.substr(0, e)) {
    if (c != '.') digits += c;
  }
  return std::stoi(std::string(sci.substr(e + 1)));
}

// When the exact value of `mag` lies halfway between two shortest forms,
// to_chars keeps the one with an even last digit; labels keep the one of
// larger magnitude. `digits` and `exp` are the shortest form, bumped in place.
void round_half_away(double mag, std::string& digits, int exp) {
  if (digits.back() == '9') return;  // a carry would give a shorter form, already ruled out
  std::string longer;
  // One digit more than `digits`: a tie shows as `digits` followed by 5.
  if (scientific_digits(mag, static_cast<int>(digits.size()), longer) != exp ||
      longer.compare(0, digits.size(), digits) != 0 || longer.back() != '5') {
    return;  // not halfway, or `digits` is already the upper neighbour
  }
  // 767 significant digits hold any double exactly.
  if (scientific_digits(mag, 767, longer) != exp ||
      longer.find_first_not_of('0', digits.size() + 1) != std::string::npos) {
    return;
  }
  std::string up = digits;
  ++up.back();
  // Laid out by appending only: at -O3 GCC 12 reports a false -Wrestrict
  // overlap in std::string's insert, which `"e" + std::string` uses too.
  std::string text(1, up[0]);
  if (up.size() > 1) text.append(".").append(up, 1);
  text += 'e';
  text += std::to_string(exp);
  double back = 0;
  std::from_chars(text.data(), text.data() + text.size(), back);
  if (back == mag) digits = std::move(up);
}

}  // namespace

std::string display_float(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  // Shortest round-trip digits, then laid out in positional notation.
  std::string out = std::signbit(v) ? "-" : "";
  const double mag = std::fabs(v);
  std::string digits;
  const int exp = scientific_digits(mag, std::nullopt, digits);
  if (digits == "0") return out + "0";
  round_half_away(mag, digits, exp);
  // digits = d0 d1 d2 ... with the point after d0, scaled by 10^exp.
  const int point = exp + 1;  // digits before the decimal point
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (static_cast<std::size_t>(point) >= digits.size()) {
    out += digits;
    out.append(point - digits.size(), '0');
  } else {
    out += digits.substr(0, point);
    out += '.';
    out += digits.substr(point);
  }
  return out;
}

}  // namespace velmora
