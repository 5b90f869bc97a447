// Node keys (tokens, labels, displays, the op token parser) and the store (key
// equality, id checks, marks, snapshots, allocations failing in intern).
#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <stdexcept>
#include <tuple>
#include <type_traits>

#include "absl/container/flat_hash_map.h"
#include "alloc_harness.h"
#include "hash_key_for_test.h"
#include "gtest/gtest.h"
#include "ids_for_test.h"
#include "node/text.h"
#include "store/store.h"

namespace velmora {
namespace {

using harness::fail_after;

ParamMap P(std::vector<Param> pairs) { return ParamMap(std::move(pairs)); }
ParamValue I(int64_t v) { return ParamValue::Int(v); }
ParamValue F(double v) { return ParamValue::Float(v); }
ParamValue S(std::string v) { return ParamValue::Str(std::move(v)); }
ParamValue Bo(bool v) { return ParamValue::Bool(v); }
NodeId must(Result<NodeId, BadNodeId> r) { return r.value(); }

// Each kind as the store shows it: token, label and DOT line, which escapes
// the label again (a line feed stays raw); its token and template text read as
// its kind; every op and reduction token reads
// back, whatever its texts hold. Then the DOT text around the lines: one shape
// for a twice-marked output, a repeated input's edge twice, a stage's edges
// from its own inputs.
TEST(GraphStore, TokensLabelsAndDotLinesOfEveryKind) {
  const PayloadDescriptor d{"onnx", "h1", "torch", "2.1", "schema", std::nullopt};
  const PayloadDescriptor pre{"onnx", "h1", "torch", "2.1", "other", "pre"};
  const ParamMap odd = P({{"s", S("a;b=c|d%25")}, {"f", F(-1.5)}, {"n", F(std::nan(""))}, {"i", I(-3)},
                          {"b", Bo(true)}, {"=;%7C", I(std::numeric_limits<int64_t>::min())}});
  const StageRef in0 = StageRef::Input(0);
  struct Row {
    NodeKey key;
    std::string token, label, dot;
  };
  const std::vector<Row> rows = {
      {NodeKey::Source("a|b;c%", P({{"n", I(3)}})), "src|a%7Cb%3Bc%25|n=i3", "Source a|b;c% {n=3}",
       "n0 [label=\"Source a|b;c% {n=3}\"]"},
      {NodeKey::Source("a\"b\\c\nd", P({{"q", S("\"")}})), "src|a\"b\\c\nd|q=s\"", "Source a\"b\\c\nd {q=\"\\\"\"}",
       "n1 [label=\"Source a\\\"b\\\\c\nd {q=\\\"\\\\\\\"\\\"}\"]"},
      {NodeKey::Op("f", ids(0), P({{"x", F(-0.0)}, {"y", F(std::nan(""))}})),
       "op|f|x=f8000000000000000;y=f7ff8000000000000", "Op f {x=-0, y=NaN}", "n2 [label=\"Op f {x=-0, y=NaN}\"]"},
      {NodeKey::Op("add", ids(1), P({{"side", S("r")}, {"scalar", F(0.0)}})), "op|add|scalar=f0000000000000000;side=sr",
       "Op add {scalar=0, side=\"r\"}", "n3 [label=\"Op add {scalar=0, side=\\\"r\\\"}\", shape=doublecircle]"},
      {NodeKey::Op("a|b", ids(0, 0), P({{"b", I(0)}, {"a", I(std::numeric_limits<int64_t>::min())}, {"a", S("x=y")}})),
       "op|a%7Cb|a=i-9223372036854775808;a=sx%3Dy;b=i0", "Op a|b {a=-9223372036854775808, a=\"x=y\", b=0}",
       "n4 [label=\"Op a|b {a=-9223372036854775808, a=\\\"x=y\\\", b=0}\"]"},
      {NodeKey::Op("we|ird;%", {}), "op|we%7Cird%3B%25", "Op we|ird;%", "n5 [label=\"Op we|ird;%\"]"},
      {NodeKey::Reduction("", ids(2), odd),
       "red||%3D%3B%257C=i-9223372036854775808;b=btrue;f=fbff8000000000000;i=i-3;n=f7ff8000000000000;"
       "s=sa%3Bb%3Dc%7Cd%2525",
       "Reduction  {=;%7C=-9223372036854775808, b=true, f=-1.5, i=-3, n=NaN, s=\"a;b=c|d%25\"}",
       "n6 [label=\"Reduction  {=;%7C=-9223372036854775808, b=true, f=-1.5, i=-3, n=NaN, s=\\\"a;b=c|d%25\\\"}\"]"},
      {NodeKey::Exchange(ids(0)), "exch", "Exchange", "n7 [label=\"Exchange\"]"},
      {NodeKey::Join(ids(0, 1), P({{"k", Bo(true)}})), "join|k=btrue", "Join {k=true}", "n8 [label=\"Join {k=true}\"]"},
      {NodeKey::External(d, ids(0)), "ext|onnx|h1|torch|2.1|schema|-", "External onnx:h1 [torch 2.1]",
       "n9 [label=\"External onnx:h1 [torch 2.1]\"]"},
      {NodeKey::External(pre, {}, P({{"k", Bo(false)}})), "ext|onnx|h1|torch|2.1|other|pre|k=bfalse",
       "External onnx:h1 [torch 2.1] {k=false}", "n10 [label=\"External onnx:h1 [torch 2.1] {k=false}\"]"},
      {NodeKey::Stage(ids(0, 1), {{"op|a", {in0}}, {"op|b", {in0}}, {"op|c", {in0}}}), "stage|3", "Stage[3 members]",
       "n11 [label=\"Stage[3 members]\"]"},
  };
  GraphStore s;
  EXPECT_EQ(s.to_dot(), "digraph velmora {\n}\n");
  std::string dot = "digraph velmora {\n";
  for (size_t i = 0; i < rows.size(); ++i) {
    ASSERT_EQ(must(s.intern(rows[i].key)), NodeId(i));
    dot += "  " + rows[i].dot + ";\n";
  }
  for (NodeId id : ids(3, 3)) ASSERT_TRUE(s.mark_output(id).ok());
  const NodesView nodes = s.snapshot().nodes;
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(nodes[i].token(), rows[i].token);
    EXPECT_EQ(nodes[i].label(), rows[i].label);
    std::string text;
    node_text::append_template_text(nodes[i], text);
    for (const std::string& t : {nodes[i].token(), text}) EXPECT_EQ(kind_of_text(t), nodes[i].kind()) << t;
    const auto parsed = parse_op_token(nodes[i].token());
    ASSERT_EQ(parsed.has_value(), nodes[i].is_op() || nodes[i].kind() == NodeKey::Kind::kReduction) << i;
    EXPECT_TRUE(!parsed || (parsed->name == rows[i].key.name() && parsed->params == rows[i].key.params())) << i;
  }
  EXPECT_EQ(s.to_dot(), dot + "  n0 -> n2;\n  n1 -> n3;\n  n0 -> n4;\n  n0 -> n4;\n  n2 -> n6;\n  n0 -> n7;\n  n0 -> n8;\n"
                              "  n1 -> n8;\n  n0 -> n9;\n  n0 -> n11;\n  n1 -> n11;\n}\n");
}

// Floats: shortest round trip, no exponents, ties away from zero. Strings:
// escapes by Unicode 17 (U+088F new, U+0CC0 extending, U+1171E no longer).
TEST(Display, FloatsAndStrings) {
  for (const auto& [value, text] : std::vector<std::pair<double, std::string>>{
      {2.0, "2"}, {0.5, "0.5"}, {-0.0, "-0"}, {std::nan(""), "NaN"}, {INFINITY, "inf"},
      {-INFINITY, "-inf"}, {1e21, "1000000000000000000000"}, {1e-7, "0.0000001"}, {0.1, "0.1"},
      {1120190537298671.25, "1120190537298671.3"}, {-1324845932296262.25, "-1324845932296262.3"},
      {-775812177268.90625, "-775812177268.9063"}, {1120190537298671.75, "1120190537298671.8"},
      {2.5, "2.5"}, {9007199254740993.0, "9007199254740992"}}) {
    EXPECT_EQ(display_float(value), text);
  }
  for (const auto& [text, shown] : std::vector<std::pair<std::string, std::string>>{
      {"a\"b\\c", "\"a\\\"b\\\\c\""}, {"\t\r\n", "\"\\t\\r\\n\""}, {std::string("\0", 1), "\"\\0\""},
      {"\x01", "\"\\u{1}\""}, {"\x7f", "\"\\u{7f}\""}, {"e\xcc\x81", "\"e\\u{301}\""},
      {"\xc3\xa9 \xe2\x82\xac", "\"\xc3\xa9 \xe2\x82\xac\""}, {"\xe2\x80\x8b", "\"\\u{200b}\""},
      {"a\xe0\xa2\x8f", "\"a\xe0\xa2\x8f\""}, {"a\xe0\xb3\x80", "\"a\\u{cc0}\""},
      {"a\xf0\x91\x9c\x9e", "\"a\xf0\x91\x9c\x9e\""}}) {
    EXPECT_EQ(quote_str(text), shown);
  }
}

// Each token and its parse (the parameters as their token).
TEST(ParseOpToken, AcceptsRejectsAndReadsBackEveryToken) {
  for (const auto& [token, kind, name, params] : std::vector<std::array<std::string, 4>>{
           {"op|add|", "op", "add", ""}, {"op|f|b=i1;a=i2", "op", "f", "a=i2;b=i1"},
           {"op|f|a=i+7", "op", "f", "a=i7"}, {"op|f|a=fFF", "op", "f", "a=f00000000000000ff"},
           {"red|s%7Cum|k=sx%3By|rest", "red", "s|um", "k=sx%3By%7Crest"},
           {"op|%41|k=s%7c", "op", "%41", "k=s%257c"}}) {  // other percent sequences stay
    const auto got = parse_op_token(token);
    ASSERT_TRUE(got) << token;
    EXPECT_EQ((std::array{got->kind, got->name, got->params.token()}), (std::array{kind, name, params})) << token;
  }
  for (const char* bad : {"op", "src|x", "stage|3", "op|f|a=i1;", "op|f|a=", "op|f|a=x1", "op|f|noeq",
                          "op|f|a=i9223372036854775808", "op|f|a=i+", "op|f|a=i1x", "op|f|a=f-1",
                          "op|f|a=f+", "op|f|a=f10000000000000000", "op|f|a=bTrue", "op|f|a=\xc3\xa9"}) {
    EXPECT_FALSE(parse_op_token(bad)) << bad;
  }
}

// Ids from the node count on are refused: the first in input order, a node
// naming itself, a mark of the count itself.
TEST(GraphStore, InternsMarksAndRefusesIdsFromTheNodeCountOn) {
  GraphStore s;
  const NodeId x = must(s.intern(NodeKey::Source("x")));
  const NodeId y = must(s.intern(NodeKey::Source("y")));
  const NodeId a = must(s.intern(NodeKey::Op("add", {x, y})));
  EXPECT_EQ(must(s.intern(NodeKey::Op("add", {x, y}))), a);
  EXPECT_EQ(must(s.intern(NodeKey::Op("add", {y, x}))), NodeId(3));
  EXPECT_EQ(must(s.intern(NodeKey::Exchange({}))), NodeId(4));  // no inputs, no earlier node needed
  EXPECT_EQ(s.intern(NodeKey::Op("f", ids(0, 7, 9))).error(), BadNodeId{NodeId(7)});
  EXPECT_EQ(s.intern(NodeKey::Op("f", ids(5))).error(), BadNodeId{NodeId(5)});
  EXPECT_EQ(must(s.intern(NodeKey::Stage(ids(0), {{"op|a", {StageRef::Input(3)}}}))), NodeId(5));  // members aren't ids
  for (NodeId id : ids(3, 1, 3)) ASSERT_TRUE(s.mark_output(id).ok());
  EXPECT_EQ(s.mark_output(NodeId(6)).error(), BadNodeId{NodeId(6)});
  EXPECT_EQ(s.outputs(), ids(3, 1));
  EXPECT_EQ(s.snapshot().outputs, ids(3, 1));
  EXPECT_EQ(s.snapshot_from(NodeId(5)).size(), 1u);
  EXPECT_EQ(s.snapshot_from(NodeId(5))[0].token(), "stage|1");
  EXPECT_TRUE(s.snapshot_from(NodeId(6)).empty());
  EXPECT_TRUE(s.snapshot_from(NodeId(~0ULL)).empty());
  EXPECT_EQ(testing::PrintToString(BadNodeId{NodeId(7)}), "BadNodeId(7)");
  // 0.0 and -0.0, 1 and 1.0 and true, names reordered differ.
  auto key = [](std::vector<Param> p) { return NodeKey::Source("n", P(std::move(p))); };
  for (const NodeKey& k : {key({{"v", F(0.0)}}), key({{"v", F(-0.0)}}), key({{"v", I(1)}}), key({{"v", F(1.0)}}),
                           key({{"v", Bo(true)}}), key({{"a", I(1)}, {"a", I(2)}}), key({{"a", I(2)}, {"a", I(1)}})}) {
    const uint64_t before = s.node_count();
    EXPECT_EQ(must(s.intern(k)), NodeId(before));
  }
}

// From the first intern into an empty store on (every table grows from
// nothing) through marks, whichever allocation fails: the store is as before
// the failing call, a failed read does not poison it, and every call again
// gives the same ids, also for keys that repeat a text.
std::vector<NodeKey> keys_repeating_texts() {
  std::vector<Param> many;
  for (int i = 0; i < 10; ++i) many.emplace_back("t" + std::to_string(i), S(i % 2 ? "t1" : "u"));
  return {NodeKey::Source("x", P({{"x", S("x")}})),
          NodeKey::External({"k", "h", "k", "h", "io", "k"}, ids(0), P({{"q", F(2.5)}, {"k", S("h")}})),
          NodeKey::Stage(ids(0, 1), {{"op|m", {StageRef::Input(0)}}, {"op|m", {StageRef::Member(0)}}}),
          NodeKey::Op("t1", ids(1, 2), P(many)), NodeKey::Op("x", ids(3), P({{"p", I(1)}}))};
}

TEST(GraphStore, FailedAllocationsFromAnEmptyStoreOn) {
  const std::vector<NodeKey> keys = keys_repeating_texts();
  auto step = [&keys](GraphStore& s, size_t i) {  // interns every key, then marks 3 and 0
    EXPECT_TRUE(i < keys.size() ? must(s.intern(keys[i])) == NodeId(i) : s.mark_output(NodeId(i == keys.size() ? 3 : 0)).ok()) << i;
  };
  const size_t steps = keys.size() + 2;
  for (long k = 1;; ++k) {
    GraphStore s, before;
    size_t done = 0;
    fail_after = k;
    try {
      for (; done < steps; ++done) step(s, done);
    } catch (const std::bad_alloc&) {
    }
    fail_after = 1;
    EXPECT_THROW((void)s.to_dot(), std::bad_alloc);
    fail_after = 0;
    for (size_t i = 0; i < done; ++i) step(before, i);
    EXPECT_TRUE(s.snapshot().nodes == before.snapshot().nodes && s.outputs() == before.outputs()) << k;
    for (size_t i = 0; i < steps; ++i) step(s, i);
    EXPECT_TRUE(s.snapshot().nodes == keys);
    EXPECT_EQ(s.outputs(), ids(3, 0));
    if (done == steps) break;  // no allocation was left to fail
  }
}

// The same for keys appended unindexed: a failed append changes nothing, and
// appending goes on from there.
TEST(StoreBuilder, FailedAppendsChangeNothing) {
  std::vector<NodeKey> keys = keys_repeating_texts();
  keys.push_back(NodeKey::External({"k", "h", "k", "h", "io", "k"}, ids(4), P({{"new", I(1)}})));
  for (long k = 1;; ++k) {
    StoreBuilder b;
    uint64_t done = 0;
    fail_after = k;
    try {
      for (; done < keys.size(); ++done) must(b.append(NodeArena::prepare(keys[done])));
    } catch (const std::bad_alloc&) {
    }
    const bool exhausted = fail_after > 0;
    fail_after = 0;
    EXPECT_EQ(b.nodes_from(NodeId(0)), std::vector<NodeKey>(keys.begin(), keys.begin() + done)) << k;
    for (uint64_t i = done; i < keys.size(); ++i) EXPECT_EQ(must(b.append(NodeArena::prepare(keys[i]))), NodeId(i));
    EXPECT_EQ(b.index_appended(), std::nullopt);
    const auto s = std::move(b).finish();
    for (uint64_t i = 0; i < keys.size(); ++i) EXPECT_EQ(must(s->intern(keys[i])), NodeId(i)) << k;
    if (exhausted) break;  // no allocation was left to fail
  }
}

// A text's length and a stage's counts must fit the arena's 32-bit words: past
// that they are refused before they are hashed or kept, and the key stays as
// it was. The views of 2^32 bytes are never read, so the check came first.
TEST(PreparedKey, RefusesLengthsAndCountsPastThirtyTwoBits) {
  constexpr uint64_t kMax = 0xFFFFFFFF;
  for (const uint64_t n : {uint64_t{0}, kMax}) EXPECT_EQ(PreparedKey::as_word(n), n);
  for (const uint64_t n : {kMax + 1, ~uint64_t{0}}) {
    EXPECT_THROW((void)PreparedKey::as_word(n), std::length_error) << n;
  }
  const char byte = 'x';
  const std::string_view huge(&byte, kMax + 1);
  PreparedKey p;
  p.add_member("op|a", kMax);
  const std::vector<std::function<void()>> refused = {
      [&] { (void)PreparedKey::hash_text(huge); }, [&] { p.add_text(huge); },
      [&] { p.add_member(huge, 1); }, [&] { p.add_member("op|b", kMax + 1); }};
  for (const auto& call : refused) {
    EXPECT_THROW(call(), std::length_error);
    EXPECT_EQ(std::vector<std::string_view>(p.texts.begin(), p.texts.end()), std::vector<std::string_view>{"op|a"});
    EXPECT_EQ(std::vector<uint32_t>(p.argc.begin(), p.argc.end()), std::vector<uint32_t>{kMax});
  }
}

// Arena ids of different tables are different types, and a position becomes
// one only short of the all-ones word, which is none; past it is a panic, not
// a wrapped or a none id. A store's node id is no integer and no position
// either way, and narrows to its position by that same check.
static_assert(!std::is_convertible_v<uint32_t, NodePos> && !std::is_same_v<NodePos, TextId> &&
              !std::is_same_v<TextId, DescriptorId> && !std::is_same_v<NodePos, DescriptorId>);
static_assert(!std::is_convertible_v<uint64_t, NodeId> && !std::is_constructible_v<uint64_t, NodeId> &&
              !std::is_constructible_v<NodeId, NodePos> && !std::is_constructible_v<NodePos, NodeId>);
TEST(ArenaId, NarrowsPositionsShortOfNone) {
  constexpr uint64_t kNone = NodePos::kNoneWord;
  for (const uint64_t i : {uint64_t{0}, kNone - 1}) {
    EXPECT_EQ(NodePos::of_index(i).word(), i);
    EXPECT_EQ(NodeId::at(NodeId(i).pos()), NodeId(i));
  }
  EXPECT_TRUE(NodePos::none().is_none() && NodePos().is_none() && TextId().is_none());
  for (const uint64_t i : {kNone, kNone + 1, ~uint64_t{0}}) {
    EXPECT_THROW((void)NodePos::of_index(i), Panic) << i;
    EXPECT_THROW((void)NodeId(i).pos(), Panic) << i;
  }
}

// The store tells random keys apart exactly as their own equality does, also
// when every node hashes alike and only the records' words decide; keys
// appended unindexed and then indexed together leave the store as interning
// them would; a repeated key is caught when indexing.
TEST(GraphStore, AppendedKeysIndexAsInternedOnes) {
  struct Restore {
    HashKey saved = HashKey::get();
    ~Restore() { HashKeyForTest::set(saved); }
  } restore;
  const HashKey& k = restore.saved;
  for (uint32_t seed = 0; seed < 200; ++seed) {
    HashKeyForTest::set(seed % 2 == 0 ? k : HashKey{{k.word[0], k.word[1], 0, 0}});  // multiplier 0
    std::mt19937 rng(seed);
    auto below = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    std::vector<NodeKey> keys;  // distinct
    absl::flat_hash_map<NodeKey, NodeId> seen;
    GraphStore ref;
    while (keys.size() < 300) {
      const uint64_t n = keys.size();
      std::vector<NodeId> inputs;
      for (uint32_t k = below(3); n > 0 && k > 0; --k) inputs.push_back(NodeId(below(static_cast<uint32_t>(n))));
      const std::string name = "f" + std::to_string(below(6));
      NodeKey key = NodeKey::Source(name, P({{"v", I(below(4))}}));
      switch (below(4)) {
        case 0: break;
        case 1: key = NodeKey::Op(name, inputs, P({{"s", S(name)}, {"x", F(below(3) * 0.5)}})); break;
        case 2:
          key = NodeKey::Stage(inputs, {{"op|" + name, {StageRef::Input(below(2))}},
                                        {"op|g", {StageRef::Member(0), StageRef::Input(below(2))}}});
          break;
        default:  // a known descriptor beside a new param name at times
          key = NodeKey::External({"k", name, "f", "v", "io", "pre"}, inputs, P({{"e" + std::to_string(below(40)), I(1)}}));
          break;
      }
      const auto [at, added] = seen.try_emplace(key, NodeId(n));
      ASSERT_EQ(must(ref.intern(key)), at->second) << "seed " << seed;
      if (added) keys.push_back(std::move(key));
    }
    StoreBuilder b;
    for (uint64_t i = 0; i < keys.size(); ++i) {
      EXPECT_EQ(must(b.append(NodeArena::prepare(keys[i]))), NodeId(i));
    }
    ASSERT_EQ(b.index_appended(), std::nullopt) << "seed " << seed;
    const std::unique_ptr<GraphStore> built = std::move(b).finish();
    GraphStore& s = *built;
    for (uint64_t i = 0; i < keys.size(); ++i) EXPECT_EQ(must(s.intern(keys[i])), NodeId(i));
    EXPECT_EQ(s.node_count(), keys.size());

    StoreBuilder twice;
    const uint64_t repeated = below(static_cast<uint32_t>(keys.size()));
    for (uint64_t i = 0; i <= repeated; ++i) must(twice.append(NodeArena::prepare(keys[i])));
    must(twice.append(NodeArena::prepare(keys[repeated])));
    EXPECT_THROW((void)twice.intern(NodeArena::prepare(keys[0])), Panic);  // a lookup now could add a node twice
    EXPECT_EQ(twice.index_appended(), NodeId(repeated + 1));
  }
}

// A key written part by part interns to the id the same key prepared gets,
// and a writer that gives up (a new text, params out of order or repeated, too
// many words) leaves the store as it was; a key the store holds is never given
// up when its params come in order. Also under a hash that collides always.
TEST(GraphStore, WrittenKeysInternAsPreparedOnes) {
  struct Restore {
    HashKey saved = HashKey::get();
    ~Restore() { HashKeyForTest::set(saved); }
  } restore;
  const HashKey& k = restore.saved;
  std::size_t written = 0;
  for (uint32_t seed = 0; seed < 100; ++seed) {
    HashKeyForTest::set(seed % 2 == 0 ? k : HashKey{{k.word[0], k.word[1], 0, 0}});
    std::mt19937 rng(seed);
    auto below = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    GraphStore ref, s;
    for (int step = 0; step < 400; ++step) {
      const uint64_t n = ref.node_count();
      std::vector<NodeId> inputs;
      const uint32_t most = n == 0 ? 0 : below(8) == 0 ? 40 : 4;  // past the writer's room at times
      for (uint32_t m = below(most + 1); m > 0; --m) inputs.push_back(NodeId(below(static_cast<uint32_t>(n))));
      std::vector<Param> pairs;
      const ParamValue values[] = {I(below(3)), F(below(2) ? NAN : 0.5), Bo(below(2)), S("s" + std::to_string(below(3)))};
      for (uint32_t m = below(5); m > 0; --m) pairs.emplace_back("p" + std::to_string(below(4)), values[below(4)]);
      const std::string name = "f" + std::to_string(below(4));
      NodeKey key = NodeKey::Source(name, P(pairs));
      switch (below(5)) {
        case 0: break;
        case 1: key = NodeKey::Op(name, inputs, P(pairs)); break;
        case 2: key = NodeKey::Reduction(name, inputs, P(pairs)); break;
        case 3: key = NodeKey::Exchange(inputs, P(pairs)); break;
        default: key = NodeKey::Join(inputs, P(pairs)); break;
      }
      const NodeId want = must(ref.intern(key));
      const bool known = want.value() < n;
      std::vector<Param> fed(key.params().begin(), key.params().end());
      const bool shuffled = below(4) == 0;
      if (shuffled) std::shuffle(fed.begin(), fed.end(), rng);
      const uint64_t before = s.node_count();
      const std::optional<NodeId> got = s.intern_written(key.kind(), [&](NodeArena::KeyWriter& w) {
        if (NodeKey::named(key.kind()) && !w.name(key.name())) return false;
        if (!w.inputs(key.inputs().size())) return false;
        for (NodeId i : key.inputs()) {
          if (!w.input(i)) return false;
        }
        w.params(fed.size());
        for (const Param& q : fed) {
          const ParamRef r = ParamRef::of(q);
          if (!(r.kind == ParamValue::Kind::kStr ? w.str_param(r.name, r.str) : w.param(r.name, r.kind, r.bits))) {
            return false;
          }
        }
        return true;
      });
      std::size_t words = key.inputs().size();
      for (const Param& q : fed) words += 1 + ParamHead::value_words(q.second.kind());
      if (got) {
        ++written;
        ASSERT_EQ(*got, want) << "seed " << seed << " step " << step;
      } else {
        ASSERT_EQ(s.node_count(), before);
        ASSERT_FALSE(known && !shuffled && words <= NodeArena::KeyWriter::kMaxWords &&
                     std::adjacent_find(fed.begin(), fed.end(), [](const Param& a, const Param& b) {
                       return a.first == b.first;
                     }) == fed.end())
            << "seed " << seed << " step " << step << ": a known key was given up";
        ASSERT_EQ(must(s.intern(key)), want) << "seed " << seed << " step " << step;
      }
      ASSERT_EQ(s.node_count(), ref.node_count());
    }
  }
  EXPECT_GT(written, 10000u);  // most keys repeat known texts
  // A key written ahead of the nodes it names is finished only once they are there.
  NodeArena a;
  NodeArena::KeyWriter w(a, NodeKey::Kind::kExchange, 1);
  ASSERT_TRUE(w.inputs(1) && w.input(NodeId(0)));
  w.params(0);
  EXPECT_THROW(w.append_unindexed(a), Panic);
  // A repeated param name is refused, the empty one too; names in order are taken.
  GraphStore e;
  const NodeId both = must(e.intern(NodeKey::Source("", P({{"", I(1)}, {"a", I(1)}}))));
  for (const std::string_view second : {"", "a"}) {
    const std::optional<NodeId> got = e.intern_written(NodeKey::Kind::kSource, [&](NodeArena::KeyWriter& w) {
      if (!w.name("") || !w.inputs(0)) return false;
      w.params(2);
      return w.param("", ParamValue::Kind::kInt, 1) && w.param(second, ParamValue::Kind::kInt, 1);
    });
    EXPECT_EQ(got, second.empty() ? std::nullopt : std::optional<NodeId>(both)) << second;
  }
  // A written key that lacks a part it announced breaks the writer's contract:
  // the store is poisoned for good, though its lock was never taken.
  GraphStore broken;
  (void)must(broken.intern(NodeKey::Source("x")));
  EXPECT_THROW((void)broken.intern_written(NodeKey::Kind::kExchange,
                                           [](NodeArena::KeyWriter& w) { return w.inputs(2) && w.input(NodeId(0)); }),
               Panic);
  EXPECT_THROW((void)broken.node_count(), Panic);
}

}  // namespace
}  // namespace velmora
