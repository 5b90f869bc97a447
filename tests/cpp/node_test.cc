// Parameters and node keys: equality with NaNs folded, the tokens and labels
// of every kind, the float and string displays, and the op token parser.
#include <cmath>
#include <limits>

#include "absl/hash/hash.h"
#include "gtest/gtest.h"
#include "node/node.h"

namespace velmora {
namespace {

ParamMap P(std::vector<Param> pairs) { return ParamMap(std::move(pairs)); }
ParamValue I(int64_t v) { return ParamValue::Int(v); }
ParamValue F(double v) { return ParamValue::Float(v); }
ParamValue S(std::string v) { return ParamValue::Str(std::move(v)); }
ParamValue Bo(bool v) { return ParamValue::Bool(v); }

TEST(ParamValue, NanFoldsAndSignedZeroDoesNot) {
  auto op = [](uint64_t bits) { return NodeKey::Op("f", {}, P({{"x", F(std::bit_cast<double>(bits))}})); };
  EXPECT_EQ(op(0x7FF0000000000001), op(0xFFF0000000001234));
  EXPECT_EQ(absl::Hash<NodeKey>{}(op(0x7FF0000000000001)), absl::Hash<NodeKey>{}(op(0xFFF0000000001234)));
  EXPECT_NE(op(0), op(0x8000000000000000));
  EXPECT_NE(I(1), F(1.0));
  EXPECT_NE(I(1), Bo(true));
  // Duplicate names keep their given order, so these maps differ.
  EXPECT_NE(P({{"a", I(1)}, {"a", I(2)}}), P({{"a", I(2)}, {"a", I(1)}}));
}

TEST(NodeKey, TokensAndLabelsOfEveryKind) {
  const PayloadDescriptor d{"onnx", "h1", "torch", "2.1", "schema", std::nullopt};
  const PayloadDescriptor pre{"onnx", "h1", "torch", "2.1", "other", "pre"};
  const StageRef in0 = StageRef::Input(0);
  struct Row {
    NodeKey key;
    std::string token;
    std::string label;
  };
  const std::vector<Row> rows = {
      {NodeKey::Source("a|b;c"), "src|a%7Cb%3Bc", "Source a|b;c"},
      {NodeKey::Source("100%", P({{"n", I(3)}})), "src|100%25|n=i3", "Source 100% {n=3}"},
      {NodeKey::Source("rows", P({{"n", S("3")}})), "src|rows|n=s3", "Source rows {n=\"3\"}"},
      {NodeKey::Op("f", {0}, P({{"x", F(-0.0)}, {"y", F(std::nan(""))}})),
       "op|f|x=f8000000000000000;y=f7ff8000000000000", "Op f {x=-0, y=NaN}"},
      {NodeKey::Op("add", {0}, P({{"side", S("r")}, {"scalar", F(0.0)}})),
       "op|add|scalar=f0000000000000000;side=sr", "Op add {scalar=0, side=\"r\"}"},
      {NodeKey::Op("a|b", {}, P({{"b", I(0)}, {"a", I(1)}, {"a", I(2)}})), "op|a%7Cb|a=i1;a=i2;b=i0",
       "Op a|b {a=1, a=2, b=0}"},
      {NodeKey::Op("f", {}, P({{"i", I(std::numeric_limits<int64_t>::min())}, {"k", S("x=y")}})),
       "op|f|i=i-9223372036854775808;k=sx%3Dy", "Op f {i=-9223372036854775808, k=\"x=y\"}"},
      {NodeKey::Reduction("sum", {0}, P({{"axis", I(1)}})), "red|sum|axis=i1", "Reduction sum {axis=1}"},
      {NodeKey::Exchange({0}), "exch", "Exchange"},
      {NodeKey::Join({0, 1}, P({{"k", Bo(true)}})), "join|k=btrue", "Join {k=true}"},
      {NodeKey::External(d, {0}), "ext|onnx|h1|torch|2.1|schema|-", "External onnx:h1 [torch 2.1]"},
      {NodeKey::External(pre, {0}, P({{"k", Bo(false)}})), "ext|onnx|h1|torch|2.1|other|pre|k=bfalse",
       "External onnx:h1 [torch 2.1] {k=false}"},
      {NodeKey::Stage({0}, {{"op|a", {in0}}, {"op|b", {in0}}, {"op|c", {in0}}}), "stage|3",
       "Stage[3 members]"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.key.token(), row.token);
    EXPECT_EQ(row.key.label(), row.label);
    // The copying and the consuming with_inputs give one node, for every kind.
    NodeKey copy = row.key;
    const NodeKey moved = row.key.with_inputs({7});
    EXPECT_EQ(std::move(copy).with_inputs({7}), moved);
    EXPECT_EQ(moved.token(), row.token);
    if (row.key.kind() != NodeKey::Kind::kSource) {
      EXPECT_EQ(std::vector<NodeId>(moved.inputs().begin(), moved.inputs().end()), Inputs{7});
    } else {
      EXPECT_EQ(moved, row.key);
    }
  }
}

// Shortest round-trip decimals, never in exponent form; halfway between two
// shortest forms of equal length, the larger magnitude.
TEST(Display, Floats) {
  const std::vector<std::pair<double, std::string>> rows = {
      {2.0, "2"}, {0.5, "0.5"}, {-0.0, "-0"}, {std::nan(""), "NaN"}, {INFINITY, "inf"},
      {-INFINITY, "-inf"}, {1e21, "1000000000000000000000"}, {1e-7, "0.0000001"}, {0.1, "0.1"},
      {1120190537298671.25, "1120190537298671.3"}, {-1324845932296262.25, "-1324845932296262.3"},
      {-775812177268.90625, "-775812177268.9063"}, {1120190537298671.75, "1120190537298671.8"},
      {2.5, "2.5"}, {9007199254740993.0, "9007199254740992"},
  };
  for (const auto& [value, text] : rows) EXPECT_EQ(display_float(value), text);
}

// Escapes for the non-printable and the grapheme-extending, by the Unicode 17
// tables (U+088F is new in 17.0, U+0CC0 extends since 16.0, U+1171E no longer).
TEST(Display, Strings) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"a\"b\\c", "\"a\\\"b\\\\c\""}, {"\t\r\n", "\"\\t\\r\\n\""}, {std::string("\0", 1), "\"\\0\""},
      {"\x01", "\"\\u{1}\""}, {"\x7f", "\"\\u{7f}\""}, {"e\xcc\x81", "\"e\\u{301}\""},
      {"\xc3\xa9 \xe2\x82\xac", "\"\xc3\xa9 \xe2\x82\xac\""}, {"\xe2\x80\x8b", "\"\\u{200b}\""},
      {"a\xe0\xa2\x8f", "\"a\xe0\xa2\x8f\""}, {"a\xe0\xb3\x80", "\"a\\u{cc0}\""},
      {"a\xf0\x91\x9c\x9e", "\"a\xf0\x91\x9c\x9e\""},
  };
  for (const auto& [text, shown] : rows) EXPECT_EQ(quote_str(text), shown);
}

TEST(ParseOpToken, AcceptsAndRejects) {
  for (const char* bad : {"op", "src|x", "stage|3", "op|f|a=i1;", "op|f|a=", "op|f|a=x1", "op|f|noeq",
                          "op|f|a=i9223372036854775808", "op|f|a=i+", "op|f|a=i1x", "op|f|a=f-1",
                          "op|f|a=f+", "op|f|a=f10000000000000000", "op|f|a=bTrue", "op|f|a=\xc3\xa9"}) {
    EXPECT_FALSE(parse_op_token(bad)) << bad;
  }
  struct Row {
    const char* token;
    const char* kind;
    const char* name;
    ParamMap params;
  };
  const std::vector<Row> rows = {
      {"op|add", "op", "add", {}},
      {"op|add|", "op", "add", {}},
      {"op|f|a=i+7", "op", "f", P({{"a", I(7)}})},
      {"op|f|a=i-9223372036854775808", "op", "f", P({{"a", I(std::numeric_limits<int64_t>::min())}})},
      {"op|f|a=fFF", "op", "f", P({{"a", F(std::bit_cast<double>(uint64_t{0xFF}))}})},
      {"op|f|b=i1;a=i2", "op", "f", P({{"a", I(2)}, {"b", I(1)}})},
      {"red|s%7Cum|k=sx%3By|rest", "red", "s|um", P({{"k", S("x;y|rest")}})},
      {"op|%41|k=s%7c", "op", "%41", P({{"k", S("%7c")}})},  // other percent sequences stay
  };
  for (const Row& row : rows) {
    auto parsed = parse_op_token(row.token);
    ASSERT_TRUE(parsed) << row.token;
    EXPECT_EQ(parsed->kind, row.kind);
    EXPECT_EQ(parsed->name, row.name);
    EXPECT_EQ(parsed->params, row.params) << row.token;
  }
  // Every op and reduction token reads back, whatever its texts hold.
  const ParamMap params = P({{"s", S("a;b=c|d%25")}, {"f", F(-1.5)}, {"n", F(std::nan(""))},
                             {"i", I(-3)}, {"b", Bo(true)}, {"=;%7C", I(1)}});
  for (const NodeKey& key : {NodeKey::Op("we|ird;%", {0}, params), NodeKey::Reduction("", {0}, params)}) {
    auto parsed = parse_op_token(key.token());
    ASSERT_TRUE(parsed) << key.token();
    EXPECT_EQ(parsed->name, key.name());
    EXPECT_EQ(parsed->params, key.params());
  }
}

}  // namespace
}  // namespace velmora
