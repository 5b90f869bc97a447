// The scheduler's decisions, the runner's iterations under bans, patterns, and
// the 32-bit limits of the e-graph and of the steps that feed it.
#include <functional>
#include <string>
#include <vector>

#include "base/panic.h"
#include "gtest/gtest.h"
#include "optimizer/egraph/runner.h"
#include "optimizer/fusion.h"
#include "optimizer/pipeline.h"

namespace velmora::egraph {

// Lowers an e-graph's limits, so that they are reached with a few e-nodes.
struct EGraphTestPeer {
  static void limit(EGraph& g, size_t nodes, size_t children) { g.max_nodes_ = nodes; g.max_children_ = children; }
  // Bytes held by what freezing is to free.
  static size_t frozen_away(const EGraph& g) {
    return g.next_in_class_.capacity() + g.state_.capacity() + g.use_node_.capacity() +
           g.use_next_.capacity() + g.global_ops_.capacity() + g.memo_small_.capacity() +
           g.memo_wide_.capacity() + g.pending_.capacity() + g.scratch_.capacity();
  }
};

namespace {

Symbol sym(const std::string& s) { return Symbol::intern(s); }

// A rule may have match_limit << times_banned matches; one more bans it until
// iteration i + (ban_length << times_banned), and times_banned grows. A fast-
// forward moves every ban that is on by one amount, so that the earliest ends
// now; bans over and rules never banned stay free.
TEST(BackoffScheduler, BansPastTheLimitForDoublingSpansAndFastForwards) {
  BackoffScheduler s(4, BackoffConfig{1000, 5});
  // Iteration, matches, admitted, the first iteration free again, the limit after.
  using Row = std::tuple<uint64_t, size_t, bool, uint64_t, uint64_t>;
  for (const auto& [i, matches, admitted, free_from, limit] : std::vector<Row>{
           {0, 1000, true, 0, 1000}, {1, 1001, false, 6, 2000}, {6, 2000, true, 6, 2000}, {7, 2001, false, 17, 4000},
           {17, 4001, false, 37, 8000}, {37, 8000, true, 37, 8000}, {38, ~size_t{0}, false, 78, 16000}}) {
    EXPECT_EQ(s.admit(0, i, matches), admitted) << i;
    EXPECT_TRUE(admitted || s.banned(0, free_from - 1)) << i;
    EXPECT_EQ(std::tuple(s.banned(0, free_from), s.match_limit(0), s.banned(1, i), s.match_limit(1)),
              std::tuple(false, limit, false, 1000u)) << i;
  }
  // Rule 1 banned until 45, rule 2 until 55, rule 0 until 78.
  ASSERT_FALSE(s.admit(1, 40, 1001) || s.admit(2, 40, 1001) || s.admit(2, 45, 2001));
  s.fast_forward(42);  // by 3
  EXPECT_EQ((std::vector{s.banned(1, 41), s.banned(1, 42), s.banned(2, 51), s.banned(2, 52), s.banned(0, 74),
                         s.banned(0, 75), s.banned(3, 42), s.banned(3, 1000)}),
            (std::vector{true, false, true, false, true, false, false, false}));
  s.fast_forward(43);  // by 9, to rule 2's end
  EXPECT_EQ((std::vector{s.banned(1, 43), s.banned(2, 43), s.banned(0, 65), s.banned(0, 66)}),
            (std::vector{false, false, true, false}));
}

// A commuting rule over `fs` f e-nodes, beside one that adds an e-node every
// iteration when `grow`. Per iteration the f rule is not searched (-), banned
// (b) or applied (a), in capitals (= for -) where the run changed nothing but
// fast-forwarded a ban instead of stopping. Runs end at 8 iterations or after
// 5 s, on a clock that moves `tick` seconds a look.
TEST(Runner, IterationsUnderBansAndLimits) {
  const std::vector<Rewrite> rules = {Rewrite::make("commute", "(f ?a ?b)", "(f ?b ?a)").value(),
                                      Rewrite::make("grow", "(g ?x)", "(g (h ?x))").value()};
  using Row = std::tuple<size_t, BackoffConfig, bool, int, std::string, std::string>;
  for (const auto& [fs, backoff, grow, tick, iterations, stop] : std::vector<Row>{
           // At the limit (3, then 6) the matches are applied; past it the
           // ban is fast-forwarded, and saturation waits for it.
           {3, {3, 5}, false, 0, "aBa", "saturated"},
           {3, {2, 5}, false, 0, "BaBa", "saturated"},
           // Bans of 2, 4 and 8 iterations while g grows; 30 matches fit the
           // third limit, 32.
           {30, {8, 2}, true, 0, "b-b---ab", "iteration limit"},
           {3, {1000, 5}, true, 1, "aaaaa", "time limit"}}) {
    EGraph g;
    std::vector<ClassId> leaves;
    for (size_t i = 0; i <= fs; ++i) leaves.push_back(g.add(sym("c" + std::to_string(i)), {}));
    for (size_t i = 0; i < fs; ++i) g.add(sym("f"), std::vector{leaves[i], leaves[i + 1]});
    if (grow) g.add(sym("g"), std::vector{leaves[0]});
    auto now = std::chrono::steady_clock::time_point{};
    const auto clock = [&now, seconds = tick] { return now += std::chrono::seconds(seconds); };
    const RunReport r =
        Runner({8, 100'000, std::chrono::seconds(5)}, backoff, clock).run(g, std::span(rules.data(), grow ? 2 : 1));
    std::string seen;
    for (const Iteration& it : r.iterations) {
      const RuleIteration& f = it.rules[0];
      seen += (!f.searched ? "-=" : f.banned ? "bB" : "aA")[it.fast_forward];
    }
    EXPECT_EQ(std::pair(seen, std::string(to_string(r.stop))), std::pair(iterations, stop));
  }
}

// A term matches only e-nodes with its own number of children, at the root
// (each search path) and below it; a lone "?" is a symbol. Texts are written
// back with single spaces, or refused with a message and the problem's offset.
TEST(Pattern, ParsesAndMatchesOnlyItsOwnArityAtEveryDepth) {
  EGraph g;
  const ClassId a = g.add(sym("a"), {}), b = g.add(sym("b"), {}), q = g.add(sym("?"), {});
  const ClassId g1 = g.add(sym("g"), std::vector{a}), g2 = g.add(sym("g"), std::vector{a, b});
  for (const auto& kids : {std::vector{g1}, std::vector{g2}, std::vector{g1, a}, std::vector{q, q}}) {
    g.add(sym("f"), kids);
  }
  g.rebuild();
  for (const auto& [pattern, count] : std::vector<std::pair<std::string, size_t>>{
           {"(f (g ?x))", 1}, {"(f (g ?x ?y))", 1}, {"(f (g a))", 1}, {"(f (g a b))", 1}, {"(f (g b))", 0},
           {"(f g)", 0}, {"(f ?x)", 2}, {"(f ?x ?y)", 2}, {"(f ?x ?x)", 1}, {"(f (g ?x) ?x)", 1},
           {"(f (g ?x) ?y)", 1}, {"(g ?x)", 1}, {"?", 1}, {"(f ? ?)", 1}, {"(f ?x ?)", 1}, {"?x", 9}}) {
    Matches m;
    Pattern::parse(pattern).value().search(g, m);
    EXPECT_EQ(m.size(), count) << pattern;
  }
  for (const auto& [text, written_or_error, offset] : std::vector<std::tuple<std::string, std::string, size_t>>{
           {" ( f  ?x\t(g ?)\n) ", "(f ?x (g ?))", 0}, {"(f)", "f", 0}, {"(? a)", "(? a)", 0}, {"?", "?", 0},
           {" \n", "empty pattern", 2}, {")", "unexpected \")\"", 0}, {"(f (g a)", "unclosed \"(\"", 8},
           {"(f a))", "unexpected text after the pattern", 5}, {"( )", "empty list", 2},
           {"((f) a)", "a list must start with a symbol", 1}, {"(f (?x a))", "a variable cannot start a list", 4}}) {
    auto p = Pattern::parse(text);
    EXPECT_EQ(p.ok() ? std::pair(p->to_string(), size_t{0}) : std::pair(p.error().message, p.error().offset),
              std::pair(written_or_error, offset)) << text;
  }
  const Pattern lhs = Pattern::parse("(f ?x ?)").value();
  EXPECT_EQ(Pattern::parse_in("(g ?x ?)", lhs)->to_string(), "(g ?x ?)");
  EXPECT_EQ(Pattern::parse_in("(g ?x ?y)", lhs).error(),
            (PatternError{"variable ?y is not bound by the left side", 6}));
}

std::string panic_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const Panic& p) {
    return p.what();
  }
  return "";
}

// A frozen e-graph keeps its classes, e-nodes and counts for reading back,
// gives back the memory of everything else, and refuses everything that
// would need it.
TEST(EGraph, AFrozenOneAnswersClassesAndChildrenOnly) {
  EGraph g;
  const ClassId a = g.add(sym("a"), {}), b = g.add(sym("b"), {});
  const ClassId fa = g.add(sym("f"), std::vector{a}), fb = g.add(sym("f"), std::vector{b});
  g.merge(a, b);
  g.rebuild();
  ASSERT_GT(EGraphTestPeer::frozen_away(g), 0u);
  g.freeze();
  EXPECT_EQ(EGraphTestPeer::frozen_away(g), 0u);
  EXPECT_EQ(std::tuple(g.find(fa), g.find(b), g.num_nodes(), g.num_classes()), std::tuple(g.find(fb), g.find(a), 3u, 2u));
  EXPECT_EQ(g.children(EGraph::founder(fb)).size(), 1u);
  EXPECT_EQ(g.find(g.children(EGraph::founder(fb))[0]), g.find(a));
  Matches m;
  for (const auto& [call, message] : std::vector<std::pair<std::function<void()>, std::string>>{
           {[&] { g.add(sym("f"), std::vector{a}); }, "e-graph is frozen"},
           {[&] { g.merge(a, fa); }, "e-graph is frozen"},
           {[&] { g.rebuild(); }, "e-graph is frozen"},
           {[&] { Pattern::parse("(f ?x)").value().search(g, m); }, "pattern search on an e-graph that needs rebuilding"}}) {
    EXPECT_EQ(panic_of(call), message);
  }
}

// Large blocks are mapped on 2 MiB boundaries, whole, and keep their contents
// when a vector outgrows them.
TEST(BigVector, LargeBlocksAreAlignedAndGrowWithTheirContents) {
  BigVector<uint32_t> v;
  for (uint32_t i = 0; i < (3u << 20); ++i) {
    v.push_back(i * 7);
    if ((i & (i + 1)) == 0 && v.capacity() * sizeof(uint32_t) >= (4u << 20)) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(v.data()) % (2u << 20), 0u) << i;
    }
  }
  v.resize(v.capacity(), 1);  // every byte of the last block is there
  for (uint32_t i = 0; i < (3u << 20); ++i) ASSERT_EQ(v[i], i * 7) << i;
}

// The e-graph grows to its limits of e-nodes and of children and no further
// (finding an e-node it holds however full it is); each step before it takes
// counts up to its 32-bit limit; a reduction checks before it reads a node.
TEST(Limits, AtThe32BitLimits) {
  for (const auto& [nodes, children, with_child, fits] :
       std::vector<std::tuple<size_t, size_t, bool, bool>>{{4, 9, 0, 0}, {5, 9, 0, 1}, {9, 3, 1, 0}, {9, 4, 1, 1}}) {
    EGraph g;
    EGraphTestPeer::limit(g, nodes, children);
    const std::vector<ClassId> ab = {g.add(sym("a"), {}), g.add(sym("b"), {})};
    g.add(sym("g"), std::vector{g.add(sym("f"), ab)});  // four e-nodes, three children
    EXPECT_EQ(g.add(sym("f"), ab), ClassId{2});
    const auto kids = std::vector<ClassId>(with_child, ab[0]);  // h, or h(a)
    EXPECT_EQ(panic_of([&g, &kids] { g.add(sym("h"), kids); }), fits ? "" : "e-graph is full") << nodes << children;
  }
  const uint64_t max = 0xFFFFFFFF;
  const std::vector<std::tuple<std::function<void(uint64_t)>, uint64_t, std::string>> checks = {
      {[](uint64_t n) { check_reduce_size(n, 0); }, max, "graph too large to reduce: 4294967295 nodes"},
      {[](uint64_t n) { check_reduce_size(0, n); }, max, "graph too large to reduce: 4294967295 inputs"},
      {[](uint64_t n) { check_engine_size(n, 0); }, max / 2,
       "graph too large for the rewrite engine: 2147483647 nodes"},
      {[](uint64_t n) { check_engine_size(0, n); }, max, "graph too large for the rewrite engine: 4294967295 inputs"},
      {[](uint64_t n) { check_fusion_size(n); }, max, "graph too large for stage fusion: 4294967295 nodes"}};
  for (const auto& [check, refused, message] : checks) {
    EXPECT_EQ(panic_of(std::bind(check, refused - 1)), "");
    EXPECT_EQ(panic_of(std::bind(check, refused)), message);
  }
  const NodeArena empty;
  EXPECT_EQ(panic_of([&] { (void)reduce_with_mode(NodesView(&empty, 0, max), {}, EggEngine::make_default(), false); }),
            "graph too large to reduce: 4294967295 nodes");
}

}  // namespace
}  // namespace velmora::egraph
