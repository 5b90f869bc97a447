#include <cmath>
#include <limits>

#include "absl/hash/hash.h"
#include "gtest/gtest.h"
#include "node/node.h"

namespace velmora {
namespace {

ParamMap P(std::vector<Param> pairs) { return ParamMap(std::move(pairs)); }

double nan_with_payload(uint64_t payload) {
  return std::bit_cast<double>(0x7FF0000000000000ULL | payload);
}

TEST(ParamValue, NanFoldsAndSignedZeroDoesNot) {
  NodeKey a = NodeKey::Op("f", {}, P({{"x", ParamValue::Float(nan_with_payload(1))}}));
  NodeKey b = NodeKey::Op("f", {}, P({{"x", ParamValue::Float(nan_with_payload(0x1234))}}));
  EXPECT_EQ(a, b);
  EXPECT_EQ(absl::Hash<NodeKey>{}(a), absl::Hash<NodeKey>{}(b));
  EXPECT_TRUE(a.token().ends_with("f7ff8000000000000"));
  EXPECT_TRUE(b.token().ends_with("f7ff8000000000000"));

  NodeKey z = NodeKey::Op("f", {}, P({{"x", ParamValue::Float(0.0)}}));
  NodeKey nz = NodeKey::Op("f", {}, P({{"x", ParamValue::Float(-0.0)}}));
  EXPECT_NE(z, nz);
  EXPECT_EQ(z.token(), "op|f|x=f0000000000000000");
  EXPECT_EQ(nz.token(), "op|f|x=f8000000000000000");
  // Kinds never compare equal across each other.
  EXPECT_NE(ParamValue::Int(1), ParamValue::Float(1.0));
  EXPECT_NE(ParamValue::Int(1), ParamValue::Bool(true));
}

TEST(ParamValue, Tokens) {
  EXPECT_EQ(ParamValue::Int(42).token(), "i42");
  EXPECT_EQ(ParamValue::Int(-7).token(), "i-7");
  EXPECT_EQ(ParamValue::Int(std::numeric_limits<int64_t>::min()).token(),
            "i-9223372036854775808");
  EXPECT_EQ(ParamValue::Float(1.0).token(), "f3ff0000000000000");
  EXPECT_EQ(ParamValue::Bool(false).token(), "bfalse");
  EXPECT_EQ(ParamValue::Str("x=y").token(), "sx%3Dy");
}

TEST(ParamMap, StableSortKeepsDuplicates) {
  ParamMap m = P({{"side", ParamValue::Str("r")}, {"scalar", ParamValue::Float(0.0)}});
  EXPECT_EQ(m.pairs()[0].first, "scalar");
  EXPECT_EQ(NodeKey::Op("add", {0}, m).token(), "op|add|scalar=f0000000000000000;side=sr");
  ParamMap d = P({{"b", ParamValue::Int(0)}, {"a", ParamValue::Int(1)}, {"a", ParamValue::Int(2)}});
  EXPECT_EQ(d.token(), "a=i1;a=i2;b=i0");
  EXPECT_NE(d, P({{"a", ParamValue::Int(2)}, {"a", ParamValue::Int(1)}, {"b", ParamValue::Int(0)}}));
}

TEST(Escaping, RoundTripsAndLeavesOtherSequences) {
  EXPECT_EQ(escape_token("a|b;c"), "a%7Cb%3Bc");
  EXPECT_EQ(escape_token("100%"), "100%25");
  EXPECT_EQ(escape_token("%7C"), "%257C");  // the percent goes first
  EXPECT_EQ(unescape_token("%41"), "%41");
  EXPECT_EQ(unescape_token("%7c"), "%7c");
  for (std::string s : {"", "%", "%%3D", "=;|%", "%257C", "a%3Bb", "%2"}) {
    EXPECT_EQ(unescape_token(escape_token(s)), s) << s;
  }
}

TEST(NodeKey, TokensOfEveryKind) {
  EXPECT_EQ(NodeKey::Source("a|b;c").token(), "src|a%7Cb%3Bc");
  EXPECT_EQ(NodeKey::Source("100%").token(), "src|100%25");
  EXPECT_EQ(NodeKey::Reduction("sum", {0}, P({{"axis", ParamValue::Int(1)}})).token(),
            "red|sum|axis=i1");
  EXPECT_EQ(NodeKey::Exchange({0}).token(), "exch");
  EXPECT_EQ(NodeKey::Join({0, 1}, P({{"k", ParamValue::Bool(true)}})).token(), "join|k=btrue");
  PayloadDescriptor d{"onnx", "h1", "torch", "2.1", "schema", std::nullopt};
  EXPECT_EQ(NodeKey::External(d, {0}).token(), "ext|onnx|h1|torch|2.1|schema|-");
  d.preprocessing_ref = "pre";
  EXPECT_EQ(NodeKey::External(d, {0}).token(), "ext|onnx|h1|torch|2.1|schema|pre");
  NodeKey stage = NodeKey::Stage({0}, {{"op|a", {StageRef::Input(0)}},
                                       {"op|b", {StageRef::Member(0)}},
                                       {"op|c", {StageRef::Member(1)}}});
  EXPECT_EQ(stage.token(), "stage|3");
  EXPECT_EQ(stage.label(), "Stage[3 members]");
}

TEST(NodeKey, Labels) {
  EXPECT_EQ(NodeKey::Source("rows", P({{"n", ParamValue::Int(3)}})).label(), "Source rows {n=3}");
  EXPECT_EQ(NodeKey::Source("rows", P({{"n", ParamValue::Str("3")}})).label(),
            "Source rows {n=\"3\"}");
  EXPECT_EQ(NodeKey::Exchange({0}).label(), "Exchange");
  EXPECT_EQ(NodeKey::Op("a|b", {0}).label(), "Op a|b");  // no token escaping
  PayloadDescriptor d{"onnx", "h1", "torch", "2.1", "schema", "pre"};
  EXPECT_EQ(NodeKey::External(d, {0}, P({{"k", ParamValue::Bool(false)}})).label(),
            "External onnx:h1 [torch 2.1] {k=false}");
  d.preprocessing_ref.reset();
  d.io_schema = "other";
  EXPECT_EQ(NodeKey::External(d, {0}).label(), "External onnx:h1 [torch 2.1]");
}

TEST(Display, FloatsNeverUseExponents) {
  EXPECT_EQ(display_float(2.0), "2");
  EXPECT_EQ(display_float(0.5), "0.5");
  EXPECT_EQ(display_float(-0.0), "-0");
  EXPECT_EQ(display_float(std::nan("")), "NaN");
  EXPECT_EQ(display_float(INFINITY), "inf");
  EXPECT_EQ(display_float(-INFINITY), "-inf");
  EXPECT_EQ(display_float(1e21), "1000000000000000000000");
  EXPECT_EQ(display_float(1e-7), "0.0000001");
  EXPECT_EQ(display_float(0.1), "0.1");
}

// Halfway between two shortest forms of equal length: the larger magnitude.
TEST(Display, FloatTiesRoundAwayFromZero) {
  EXPECT_EQ(display_float(1120190537298671.25), "1120190537298671.3");
  EXPECT_EQ(display_float(-1324845932296262.25), "-1324845932296262.3");
  EXPECT_EQ(display_float(-775812177268.90625), "-775812177268.9063");
  EXPECT_EQ(display_float(1120190537298671.75), "1120190537298671.8");  // already the upper one
  EXPECT_EQ(display_float(2.5), "2.5");  // exact, no tie
  EXPECT_EQ(display_float(9007199254740993.0), "9007199254740992");
}

TEST(Display, StringEscapes) {
  EXPECT_EQ(quote_str("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quote_str("\t\r\n"), "\"\\t\\r\\n\"");
  EXPECT_EQ(quote_str(std::string("\0", 1)), "\"\\0\"");
  EXPECT_EQ(quote_str("\x01"), "\"\\u{1}\"");
  EXPECT_EQ(quote_str("\x7f"), "\"\\u{7f}\"");
  EXPECT_EQ(quote_str("e\xcc\x81"), "\"e\\u{301}\"");  // combining acute accent
  EXPECT_EQ(quote_str("\xc3\xa9 \xe2\x82\xac"), "\"\xc3\xa9 \xe2\x82\xac\"");  // printable
  EXPECT_EQ(quote_str("\xe2\x80\x8b"), "\"\\u{200b}\"");  // zero-width space (Cf)
}

// Characters whose class changed after Unicode 15: the tables follow 17.0.
TEST(Display, StringEscapesFollowCurrentUnicode) {
  EXPECT_EQ(quote_str("a\xe0\xa2\x8f"), "\"a\xe0\xa2\x8f\"");  // U+088F, assigned in 17.0
  EXPECT_EQ(quote_str("a\xe0\xb3\x80"), "\"a\\u{cc0}\"");  // U+0CC0, Grapheme_Extend since 16.0
  EXPECT_EQ(quote_str("a\xf0\x91\x9c\x9e"), "\"a\xf0\x91\x9c\x9e\"");  // U+1171E, no longer extending
}

TEST(NodeKey, WithInputs) {
  NodeKey src = NodeKey::Source("x");
  EXPECT_EQ(src.with_inputs({1, 2, 3}), src);
  NodeKey op = NodeKey::Op("f", {0, 1}, P({{"a", ParamValue::Int(1)}}));
  NodeKey moved = op.with_inputs({5});
  EXPECT_EQ(moved, NodeKey::Op("f", {5}, P({{"a", ParamValue::Int(1)}})));
  NodeKey stage = NodeKey::Stage({0}, {{"op|a", {StageRef::Input(0)}}});
  EXPECT_EQ(stage.with_inputs({4}).inputs()[0], 4u);
  EXPECT_EQ(stage.with_inputs({4}).as<StageNode>().members, stage.as<StageNode>().members);
  // The consuming form gives the same node as the copying one, for every kind.
  for (const NodeKey& k : {src, op, stage, NodeKey::Exchange({0, 1}), NodeKey::Join({0, 1}),
                            NodeKey::Reduction("sum", {0}), NodeKey::External({}, {0})}) {
    NodeKey copy = k;
    EXPECT_EQ(std::move(copy).with_inputs({7}), k.with_inputs({7}));
  }
}

TEST(ParseOpToken, AcceptsAndRejects) {
  auto add = parse_op_token("op|add");
  ASSERT_TRUE(add);
  EXPECT_EQ(add->kind, "op");
  EXPECT_EQ(add->name, "add");
  EXPECT_TRUE(add->params.empty());
  ASSERT_TRUE(parse_op_token("op|add|"));
  EXPECT_TRUE(parse_op_token("op|add|")->params.empty());
  for (const char* bad : {"op", "src|x", "op|f|a=i1;", "op|f|a=", "op|f|a=x1",
                          "op|f|a=i9223372036854775808", "op|f|a=i+", "op|f|a=i1x", "op|f|a=f-1",
                          "op|f|a=f+", "op|f|a=f10000000000000000", "op|f|a=bTrue", "op|f|noeq",
                          "stage|3", "op|f|a=\xc3\xa9"}) {
    EXPECT_FALSE(parse_op_token(bad)) << bad;
  }
  auto plus = parse_op_token("op|f|a=i+7");
  ASSERT_TRUE(plus);
  EXPECT_EQ(plus->params.pairs()[0].second, ParamValue::Int(7));
  auto hex = parse_op_token("op|f|a=fFF");
  ASSERT_TRUE(hex);
  EXPECT_EQ(hex->params.pairs()[0].second.float_bits(), 0xFFu);
  auto sorted = parse_op_token("op|f|b=i1;a=i2");
  ASSERT_TRUE(sorted);
  EXPECT_EQ(sorted->params.pairs()[0].first, "a");
  auto red = parse_op_token("red|s%7Cum|k=sx%3By|rest");
  ASSERT_TRUE(red);
  EXPECT_EQ(red->kind, "red");
  EXPECT_EQ(red->name, "s|um");
  EXPECT_EQ(red->params.pairs()[0].second, ParamValue::Str("x;y|rest"));
  EXPECT_EQ(parse_op_token("op|f|a=i-9223372036854775808")->params.pairs()[0].second,
            ParamValue::Int(std::numeric_limits<int64_t>::min()));
}

TEST(ParseOpToken, ReadsBackEveryOpToken) {
  ParamMap params = P({{"s", ParamValue::Str("a;b=c|d%")},
                       {"f", ParamValue::Float(-1.5)},
                       {"n", ParamValue::Float(std::nan(""))},
                       {"i", ParamValue::Int(-3)},
                       {"b", ParamValue::Bool(true)},
                       {"=;", ParamValue::Int(1)}});
  for (const NodeKey& key : {NodeKey::Op("we|ird;", {0}, params),
                             NodeKey::Reduction("", {0}, params)}) {
    auto parsed = parse_op_token(key.token());
    ASSERT_TRUE(parsed) << key.token();
    EXPECT_EQ(parsed->name, key.name());
    EXPECT_EQ(parsed->params, key.params());
  }
}

}  // namespace
}  // namespace velmora
