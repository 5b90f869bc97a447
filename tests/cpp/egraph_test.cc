// The general e-graph component: symbols, hash-consing and congruence,
// patterns, rules, the runner's stop reasons and the back-off scheduler.
#include <chrono>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/panic.h"
#include "optimizer/egraph/egraph.h"
#include "optimizer/egraph/pattern.h"
#include "optimizer/egraph/rewrite.h"
#include "optimizer/egraph/runner.h"
#include "optimizer/egraph/symbol.h"

namespace velmora::egraph {
namespace {

Symbol sym(std::string_view text) { return Symbol::intern(text); }

ClassId leaf(EGraph& g, std::string_view op) { return g.add(sym(op), {}); }
ClassId app(EGraph& g, std::string_view op, std::vector<ClassId> kids) { return g.add(sym(op), kids); }

Pattern pattern(std::string_view text) {
  auto p = Pattern::parse(text);
  EXPECT_TRUE(p.ok()) << text;
  return std::move(p).value();
}

Rewrite rewrite(std::string name, std::string_view lhs, std::string_view rhs) {
  auto r = Rewrite::make(std::move(name), lhs, rhs);
  EXPECT_TRUE(r.ok()) << lhs << " => " << rhs;
  return std::move(r).value();
}

size_t count_matches(EGraph& g, std::string_view text) {
  g.rebuild();
  Matches m;
  pattern(text).search(g, m);
  return m.size();
}

TEST(Symbols, InternedTextsCompareByText) {
  EXPECT_EQ(sym("egraph-test-a"), sym("egraph-test-a"));
  EXPECT_NE(sym("egraph-test-a"), sym("egraph-test-b"));
  EXPECT_EQ(sym("egraph-test-a").text(), "egraph-test-a");
  EXPECT_FALSE(Symbol::find("egraph-test-never-interned").has_value());
}

TEST(Symbols, LocalScopeReusesGlobalSymbolsAndKeepsItsOwn) {
  const Symbol global = sym("egraph-test-global");
  LocalSymbols local;
  EXPECT_EQ(local.get("egraph-test-global"), global);
  const Symbol mine = local.get("egraph-test-local-only");
  EXPECT_TRUE(mine.is_local());
  EXPECT_EQ(local.get("egraph-test-local-only"), mine);
  EXPECT_NE(local.get("egraph-test-local-other"), mine);
  EXPECT_EQ(local.text(mine), "egraph-test-local-only");
  EXPECT_FALSE(Symbol::find("egraph-test-local-only").has_value());  // never made global
}

TEST(HashCons, EqualNodesShareAClass) {
  EGraph g;
  const ClassId a = leaf(g, "a");
  const ClassId b = leaf(g, "b");
  EXPECT_EQ(app(g, "f", {a, b}), app(g, "f", {a, b}));
  EXPECT_NE(app(g, "f", {a, b}), app(g, "f", {b, a}));
  EXPECT_NE(app(g, "f", {a}), app(g, "f", {a, a}));
  EXPECT_EQ(g.num_nodes(), 6u);
  EXPECT_EQ(g.num_classes(), 6u);
}

TEST(HashCons, UnknownClassIdPanics) {
  EGraph g;
  leaf(g, "a");
  EXPECT_THROW(g.add(sym("f"), std::vector<ClassId>{7}), Panic);
  EXPECT_THROW((void)g.find(1), Panic);
  EXPECT_THROW(g.merge(0, 3), Panic);
}

TEST(Congruence, MergeThenRebuildJoinsParentsTransitively) {
  EGraph g;
  const ClassId a = leaf(g, "a");
  const ClassId b = leaf(g, "b");
  ClassId fa = a, fb = b;
  for (int depth = 0; depth < 5; ++depth) {
    fa = app(g, "f", {fa});
    fb = app(g, "f", {fb});
  }
  const ClassId mixed_a = app(g, "g", {fa, a});
  const ClassId mixed_b = app(g, "g", {fb, b});
  EXPECT_EQ(g.num_nodes(), 14u);
  EXPECT_TRUE(g.merge(a, b));
  EXPECT_FALSE(g.merge(b, a));
  EXPECT_FALSE(g.clean());
  g.rebuild();
  EXPECT_TRUE(g.clean());
  EXPECT_EQ(g.find(fa), g.find(fb));
  EXPECT_EQ(g.find(mixed_a), g.find(mixed_b));
  EXPECT_EQ(g.num_classes(), 7u);
  EXPECT_EQ(g.num_nodes(), 8u);  // the congruent duplicates are gone
  // Adding a term that is now equal finds the merged class.
  EXPECT_EQ(app(g, "g", {fb, a}), g.find(mixed_a));
}

TEST(Congruence, UniqueNodesStandOnlyForThemselves) {
  EGraph g;
  const ClassId a = leaf(g, "a");
  const ClassId b = leaf(g, "b");
  const ClassId u1 = g.add_unique(sym("u"), std::vector<ClassId>{a});
  const ClassId u2 = g.add_unique(sym("u"), std::vector<ClassId>{b});
  const ClassId plain = app(g, "u", {a});
  EXPECT_NE(u1, plain);
  EXPECT_NE(g.add_unique(sym("u"), std::vector<ClassId>{a}), u1);
  g.merge(a, b);
  g.rebuild();
  EXPECT_NE(g.find(u1), g.find(u2));
  EXPECT_NE(g.find(u1), g.find(plain));
  // Parents of unique nodes still see their classes merged explicitly.
  const ClassId p1 = app(g, "p", {u1});
  const ClassId p2 = app(g, "p", {u2});
  g.merge(u1, u2);
  g.rebuild();
  EXPECT_EQ(g.find(p1), g.find(p2));
}

// Congruence closure against a slow reference: after random merges and one
// rebuild, two e-nodes share a class exactly when the closure says so.
TEST(Congruence, MatchesNaiveClosureOnRandomGraphs) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 20; ++round) {
    EGraph g;
    struct Term {
      std::string op;
      std::vector<size_t> kids;
    };
    std::vector<Term> terms;
    std::vector<ClassId> ids;
    const char* ops[] = {"f", "g", "h"};
    for (int i = 0; i < 120; ++i) {
      Term t;
      const size_t arity = terms.size() < 4 ? 0 : rng() % 3;
      t.op = arity == 0 ? "leaf" + std::to_string(rng() % 6) : ops[rng() % 3];
      for (size_t k = 0; k < arity; ++k) t.kids.push_back(rng() % terms.size());
      std::vector<ClassId> kids;
      for (size_t k : t.kids) kids.push_back(ids[k]);
      ids.push_back(g.add(sym(t.op), kids));
      terms.push_back(t);
    }
    std::vector<size_t> ref(terms.size());
    std::iota(ref.begin(), ref.end(), 0);
    auto rfind = [&](size_t x) {
      while (ref[x] != x) x = ref[x];
      return x;
    };
    for (int m = 0; m < 6; ++m) {
      const size_t x = rng() % terms.size(), y = rng() % terms.size();
      g.merge(ids[x], ids[y]);
      ref[rfind(x)] = rfind(y);
    }
    g.rebuild();
    for (bool changed = true; changed;) {
      changed = false;
      for (size_t x = 0; x < terms.size(); ++x) {
        for (size_t y = x + 1; y < terms.size(); ++y) {
          if (rfind(x) == rfind(y) || terms[x].op != terms[y].op || terms[x].kids.size() != terms[y].kids.size()) {
            continue;
          }
          bool same = true;
          for (size_t k = 0; k < terms[x].kids.size(); ++k) {
            same = same && rfind(terms[x].kids[k]) == rfind(terms[y].kids[k]);
          }
          if (same) {
            ref[rfind(x)] = rfind(y);
            changed = true;
          }
        }
      }
    }
    for (size_t x = 0; x < terms.size(); ++x) {
      for (size_t y = 0; y < terms.size(); ++y) {
        ASSERT_EQ(g.find(ids[x]) == g.find(ids[y]), rfind(x) == rfind(y)) << round << ": " << x << ", " << y;
      }
    }
  }
}

TEST(Patterns, RejectMalformedTexts) {
  struct Case {
    const char* text;
    size_t offset;
  };
  for (const Case& c : {Case{"", 0}, Case{"   ", 3}, Case{"(", 1}, Case{"()", 1}, Case{"(f ?a", 5},
                        Case{"(?x a)", 1}, Case{"((f) a)", 1}, Case{"(f a))", 5}, Case{"a b", 2},
                        Case{")", 0}}) {
    auto p = Pattern::parse(c.text);
    ASSERT_FALSE(p.ok()) << '"' << c.text << '"';
    EXPECT_EQ(p.error().offset, c.offset) << '"' << c.text << "\": " << p.error().message;
  }
}

TEST(Patterns, ParseVariablesAtomsAndWriteBack) {
  const Pattern p = pattern("  (op|mul|scalar=f3ff0000000000000;side=sl\t?x (g ?y ?x) 1.0 ?) ");
  EXPECT_EQ(p.to_string(), "(op|mul|scalar=f3ff0000000000000;side=sl ?x (g ?y ?x) 1.0 ?)");
  EXPECT_EQ(p.var_names(), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(p.root_op(), sym("op|mul|scalar=f3ff0000000000000;side=sl"));
  EXPECT_FALSE(pattern("?x").root_op().has_value());
  EXPECT_EQ(pattern("(f)").to_string(), "f");
}

TEST(Patterns, AtomsMatchWholeSymbolsWithExactArity) {
  EGraph g;
  const ClassId a = leaf(g, "a");
  const ClassId b = leaf(g, "b");
  const ClassId one = leaf(g, "1.0");
  app(g, "add", {a, b});
  app(g, "add_x", {a, b});
  app(g, "ad", {a, b});
  app(g, "add", {a});
  app(g, "add", {a, b, a});
  app(g, "mul", {a, one});
  app(g, "mul", {a, leaf(g, "1")});
  app(g, "mul", {a, leaf(g, "1.00")});
  EXPECT_EQ(count_matches(g, "(add ?a ?b)"), 1u);
  EXPECT_EQ(count_matches(g, "(add ?a)"), 1u);
  EXPECT_EQ(count_matches(g, "(mul ?a 1.0)"), 1u);
  EXPECT_EQ(count_matches(g, "(mul ?a ?b)"), 3u);
  EXPECT_EQ(count_matches(g, "1.0"), 1u);
  EXPECT_EQ(count_matches(g, "(1.0)"), 1u);
  EXPECT_EQ(count_matches(g, "(a ?z)"), 0u);
}

TEST(Patterns, RepeatedAndNestedVariablesBindConsistently) {
  EGraph g;
  const ClassId a = leaf(g, "a");
  const ClassId b = leaf(g, "b");
  const ClassId ga = app(g, "g", {a});
  const ClassId gb = app(g, "g", {b});
  app(g, "f", {a, a});
  app(g, "f", {a, b});
  const ClassId fga = app(g, "f", {ga, a});
  app(g, "f", {gb, a});
  EXPECT_EQ(count_matches(g, "(f ?x ?x)"), 1u);
  EXPECT_EQ(count_matches(g, "(f (g ?x) ?x)"), 1u);
  EXPECT_EQ(count_matches(g, "(f (g ?x) ?y)"), 2u);
  Matches m;
  pattern("(f (g ?x) ?x)").search(g, m);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m.classes[0], g.find(fga));
  EXPECT_EQ(m.subst(0)[0], g.find(a));
  // After a and b merge, (f (g ?x) ?y) has one class with two e-nodes giving
  // the same bindings: the match is reported once.
  g.merge(a, b);
  EXPECT_EQ(count_matches(g, "(f (g ?x) ?y)"), 1u);
  EXPECT_EQ(count_matches(g, "?v"), g.num_classes());
}

TEST(Rewrites, RightSideMayUseOnlyLeftVariables) {
  auto bad = Rewrite::make("bad", "(f ?a)", "(g ?a ?b)");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().offset, 6u);
  EXPECT_FALSE(Rewrite::make("bad", "(f ?a", "?a").ok());
  const Rewrite swap = rewrite("swap", "(f ?a ?b)", "(f ?b ?a)");
  EXPECT_EQ(swap.rhs().to_string(), "(f ?b ?a)");
}

TEST(Rewrites, ApplyAddsTheRightSideAndMergesIt) {
  EGraph g;
  const ClassId a = leaf(g, "a");
  const ClassId b = leaf(g, "b");
  const ClassId fab = app(g, "f", {a, b});
  const ClassId fba = app(g, "f", {b, a});
  const ClassId ia = app(g, "id", {a});
  const Rewrite swap = rewrite("swap", "(f ?a ?b)", "(f ?b ?a)");
  const Rewrite drop = rewrite("drop", "(id ?x)", "?x");
  Matches m;
  swap.search(g, m);
  EXPECT_EQ(swap.apply(g, m), 1u);  // the second match finds them joined already
  g.rebuild();
  drop.search(g, m);
  EXPECT_EQ(drop.apply(g, m), 1u);
  g.rebuild();
  EXPECT_EQ(g.find(fab), g.find(fba));
  EXPECT_EQ(g.find(ia), g.find(a));
  EXPECT_EQ(g.num_nodes(), 5u);
}

// A rule that grows the e-graph by one e-node per chain in every iteration,
// so only a limit can end the run.
Rewrite grow() { return rewrite("grow", "(g ?x)", "(g (h ?x))"); }

EGraph& chains(EGraph& g, int count) {
  for (int i = 0; i < count; ++i) app(g, "g", {leaf(g, "c" + std::to_string(i))});
  return g;
}

TEST(Runner, StopsWhenSaturated) {
  EGraph g;
  const ClassId a = leaf(g, "a");
  const ClassId b = leaf(g, "b");
  app(g, "f", {a, b});
  const std::vector<Rewrite> rules = {rewrite("swap", "(f ?a ?b)", "(f ?b ?a)")};
  const RunReport r = Runner(RunLimits{}).run(g, rules);
  EXPECT_EQ(r.stop, StopReason::kSaturated);
  ASSERT_EQ(r.iterations.size(), 2u);  // one that swaps, one that finds nothing new
  EXPECT_EQ(r.iterations[0].rules[0].merged, 1u);
  EXPECT_EQ(r.nodes, 4u);
  EXPECT_EQ(to_string(r.stop), "saturated");
}

TEST(Runner, StopsAtTheIterationLimit) {
  EGraph g;
  const std::vector<Rewrite> rules = {grow()};
  RunLimits limits;
  limits.iter_limit = 4;
  const RunReport r = Runner(limits).run(chains(g, 3), rules);
  EXPECT_EQ(r.stop, StopReason::kIterationLimit);
  EXPECT_EQ(r.iterations.size(), 4u);
  EXPECT_EQ(r.nodes, 6u + 4 * 6);  // each iteration adds an h and a g per chain
}

TEST(Runner, StopsAtTheNodeLimitCheckedBeforeEachIteration) {
  EGraph g;
  const std::vector<Rewrite> rules = {grow()};
  RunLimits limits;
  limits.node_limit = 20;
  const RunReport r = Runner(limits).run(chains(g, 3), rules);
  EXPECT_EQ(r.stop, StopReason::kNodeLimit);
  // 6, 12, 18 e-nodes at the starts of iterations 0..2; 24 stops iteration 3.
  EXPECT_EQ(r.iterations.size(), 3u);
  EXPECT_EQ(r.nodes, 24u);
  EGraph small;
  limits.node_limit = 0;
  EXPECT_TRUE(Runner(limits).run(chains(small, 1), rules).iterations.empty());
}

TEST(Runner, StopsAtTheTimeLimitOfAnInjectedClock) {
  EGraph g;
  const std::vector<Rewrite> rules = {grow()};
  auto now = std::chrono::steady_clock::time_point{};
  auto clock = [&now] {
    now += std::chrono::seconds(1);  // each look at the clock costs a second
    return now;
  };
  RunLimits limits;
  limits.time_limit = std::chrono::seconds(5);
  const RunReport r = Runner(limits, {}, clock).run(chains(g, 2), rules);
  EXPECT_EQ(r.stop, StopReason::kTimeLimit);
  EXPECT_EQ(r.iterations.size(), 5u);
  EXPECT_EQ(to_string(r.stop), "time limit");
}

TEST(Scheduler, BansGrowTwiceAsLongWithTwiceTheLimit) {
  BackoffScheduler s(1, BackoffConfig{});
  EXPECT_TRUE(s.admit(0, 0, 1000));
  EXPECT_FALSE(s.admit(0, 0, 1001));
  EXPECT_EQ(s.banned_until(0), 5u);
  EXPECT_TRUE(s.banned(0, 4));
  EXPECT_FALSE(s.banned(0, 5));
  EXPECT_TRUE(s.admit(0, 5, 2000));
  EXPECT_FALSE(s.admit(0, 5, 2001));
  EXPECT_EQ(s.banned_until(0), 15u);
  EXPECT_EQ(s.times_banned(0), 2u);
  EXPECT_TRUE(s.admit(0, 15, 4000));
  EXPECT_FALSE(s.admit(0, 15, 4001));
  EXPECT_EQ(s.banned_until(0), 35u);
}

TEST(Scheduler, FastForwardEndsTheEarliestBanNowAndShiftsTheRest) {
  BackoffScheduler s(3, BackoffConfig{});
  EXPECT_FALSE(s.admit(0, 2, 5000));  // until 7
  EXPECT_FALSE(s.admit(1, 3, 5000));  // until 8
  EXPECT_FALSE(s.admit(1, 8, 5000));  // until 18
  EXPECT_TRUE(s.any_banned(3));
  s.fast_forward(9);  // earliest ban (7) has ended: only rule 1 counts
  EXPECT_EQ(s.banned_until(1), 9u);
  EXPECT_EQ(s.banned_until(0), 7u);
  EXPECT_FALSE(s.any_banned(9));
  BackoffScheduler t(2, BackoffConfig{});
  EXPECT_FALSE(t.admit(0, 0, 5000));  // until 5
  EXPECT_FALSE(t.admit(1, 0, 5000));
  EXPECT_FALSE(t.admit(1, 0, 5000));  // until 10
  t.fast_forward(1);
  EXPECT_EQ(t.banned_until(0), 1u);
  EXPECT_EQ(t.banned_until(1), 6u);
}

// 1500 f-nodes: more matches than the first limit (1000), fewer than the
// second (2000).
EGraph& many_f(EGraph& g) {
  const ClassId a = leaf(g, "a");
  for (int i = 0; i < 1500; ++i) app(g, "f", {a, leaf(g, "v" + std::to_string(i))});
  return g;
}

TEST(Scheduler, BannedRuleIsSearchedAgainRightAwayWhenNothingElseChanges) {
  EGraph g;
  const std::vector<Rewrite> rules = {rewrite("swap", "(f ?a ?b)", "(f ?b ?a)")};
  const RunReport r = Runner(RunLimits{}).run(many_f(g), rules);
  EXPECT_EQ(r.stop, StopReason::kSaturated);
  ASSERT_EQ(r.iterations.size(), 4u);
  EXPECT_TRUE(r.iterations[0].rules[0].banned);
  EXPECT_TRUE(r.iterations[0].fast_forward);
  EXPECT_EQ(r.iterations[1].rules[0].matches, 1500u);  // searched at once, limit 2000
  EXPECT_FALSE(r.iterations[1].rules[0].banned);
  // Now 3000 matches exceed 2000: banned again, fast-forwarded, then admitted
  // under 4000 and found to change nothing.
  EXPECT_TRUE(r.iterations[2].rules[0].banned);
  EXPECT_EQ(r.iterations[3].rules[0].matches, 3000u);
  EXPECT_EQ(r.nodes, 3001u + 1500u);  // every swapped form added once
}

TEST(Scheduler, BannedRuleWaitsOutItsBanWhileOtherRulesChangeTheGraph) {
  EGraph g;
  chains(many_f(g), 1);
  const std::vector<Rewrite> rules = {rewrite("swap", "(f ?a ?b)", "(f ?b ?a)"), grow()};
  RunLimits limits;
  limits.iter_limit = 8;
  const RunReport r = Runner(limits).run(g, rules);
  EXPECT_EQ(r.stop, StopReason::kIterationLimit);
  EXPECT_TRUE(r.iterations[0].rules[0].banned);
  for (int i = 1; i < 5; ++i) {
    EXPECT_FALSE(r.iterations[i].rules[0].searched) << i;
    EXPECT_TRUE(r.iterations[i].rules[1].searched) << i;
    EXPECT_FALSE(r.iterations[i].fast_forward) << i;
  }
  EXPECT_TRUE(r.iterations[5].rules[0].searched);
  EXPECT_EQ(r.iterations[5].rules[0].merged, 1500u);
}

}  // namespace
}  // namespace velmora::egraph
