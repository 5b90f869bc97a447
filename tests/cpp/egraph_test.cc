// The e-graph library: hash-consing and congruence against a naive closure,
// the runner's stop reasons and its back-off scheduling. Patterns and rules
// are tested through the engine's.
#include <chrono>
#include <cstdint>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "optimizer/egraph/egraph.h"
#include "optimizer/egraph/rewrite.h"
#include "optimizer/egraph/runner.h"

namespace velmora::egraph {
namespace {

Symbol sym(std::string_view text) { return Symbol::intern(text); }
ClassId leaf(EGraph& g, std::string_view op) { return g.add(sym(op), {}); }
ClassId app(EGraph& g, std::string_view op, std::vector<ClassId> kids) { return g.add(sym(op), kids); }

Rewrite rewrite(std::string name, std::string_view lhs, std::string_view rhs) {
  auto r = Rewrite::make(std::move(name), lhs, rhs);
  EXPECT_TRUE(r.ok()) << lhs << " => " << rhs;
  return std::move(r).value();
}

// Random terms, random merges in two batches, a rebuild after each: two
// e-nodes share a class exactly when a naive closure says so, the congruent
// duplicates are gone, and adding a term again finds its merged class.
TEST(Congruence, MatchesNaiveClosureOnRandomGraphs) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 20; ++round) {
    EGraph g;
    std::vector<std::vector<size_t>> terms;  // an op number, then the children
    std::vector<ClassId> ids;
    auto add = [&](const std::vector<size_t>& t) {
      std::vector<ClassId> kids;
      for (size_t k = 1; k < t.size(); ++k) kids.push_back(g.find(ids[t[k]]));
      return g.add(sym("op" + std::to_string(t[0])), kids);
    };
    for (size_t i = 0; i < 120; ++i) {
      const size_t arity = i < 4 ? 0 : rng() % 3;
      terms.push_back({arity == 0 ? rng() % 6 : 6 + rng() % 3});
      for (size_t k = 0; k < arity; ++k) terms.back().push_back(rng() % i);
      ids.push_back(add(terms.back()));
    }
    std::vector<size_t> ref(ids.size());
    std::iota(ref.begin(), ref.end(), 0);
    auto rfind = [&](size_t x) {
      while (ref[x] != x) x = ref[x];
      return x;
    };
    auto signature = [&](size_t x) {
      std::vector<size_t> s = terms[x];
      for (size_t k = 1; k < s.size(); ++k) s[k] = rfind(s[k]);
      return s;
    };
    for (int batch = 0; batch < 2; ++batch) {
      for (int m = 0; m < 3; ++m) {
        const size_t x = rng() % ids.size(), y = rng() % ids.size();
        const bool apart = g.find(ids[x]) != g.find(ids[y]);
        EXPECT_EQ(g.merge(ids[x], ids[y]), apart);
        ref[rfind(x)] = rfind(y);
      }
      g.rebuild();
      ASSERT_TRUE(g.clean());
      for (bool changed = true; changed;) {
        changed = false;
        for (size_t x = 0; x < ids.size(); ++x) {
          for (size_t y = x + 1; y < ids.size(); ++y) {
            if (rfind(x) != rfind(y) && signature(x) == signature(y)) {
              ref[rfind(x)] = rfind(y);
              changed = true;
            }
          }
        }
      }
      std::set<size_t> classes;
      std::set<std::vector<size_t>> enodes;
      for (size_t x = 0; x < ids.size(); ++x) {
        classes.insert(rfind(x));
        enodes.insert(signature(x));
        for (size_t y = 0; y < ids.size(); ++y) {
          ASSERT_EQ(g.find(ids[x]) == g.find(ids[y]), rfind(x) == rfind(y)) << round << ": " << x << ", " << y;
        }
      }
      EXPECT_EQ(g.num_classes(), classes.size());
      EXPECT_EQ(g.num_nodes(), enodes.size());
      for (size_t x = 0; x < ids.size(); ++x) ASSERT_EQ(g.find(add(terms[x])), g.find(ids[x]));
    }
  }
}

// A rule that grows the e-graph by one e-node per chain in every iteration,
// so only a limit can end the run.
Rewrite grow() { return rewrite("grow", "(g ?x)", "(g (h ?x))"); }

EGraph& chains(EGraph& g, int count) {
  for (int i = 0; i < count; ++i) app(g, "g", {leaf(g, "c" + std::to_string(i))});
  return g;
}

TEST(Runner, StopReasons) {
  EGraph swapped;
  app(swapped, "f", {leaf(swapped, "a"), leaf(swapped, "b")});
  const RunReport saturated = Runner(RunLimits{}).run(swapped, std::vector{rewrite("swap", "(f ?a ?b)", "(f ?b ?a)")});
  EXPECT_EQ(to_string(saturated.stop), "saturated");
  ASSERT_EQ(saturated.iterations.size(), 2u);  // one that swaps, one that finds nothing new
  EXPECT_EQ(saturated.iterations[0].rules[0].merged, 1u);
  EXPECT_EQ(saturated.nodes, 4u);
  // Growing chains: each iteration adds an h and a g per chain, so only a
  // limit ends the run. The node limit is checked before each iteration (6,
  // 12, 18 e-nodes at the starts of iterations 0..2; 24 stops iteration 3).
  // Each look at the injected clock costs a second.
  auto now = std::chrono::steady_clock::time_point{};
  const Runner::Clock clock = [&now] { return now += std::chrono::seconds(1); };
  struct Row {
    uint64_t iter_limit;
    size_t node_limit;
    int seconds;
    int chains;
    std::string_view stop;
    size_t iterations;
    size_t nodes;
  };
  for (const Row& row : {Row{4, 10'000, 3600, 3, "iteration limit", 4, 30},
                         Row{30, 20, 3600, 3, "node limit", 3, 24}, Row{30, 0, 3600, 1, "node limit", 0, 2},
                         Row{30, 10'000, 5, 2, "time limit", 5, 24}}) {
    EGraph g;
    const RunReport r = Runner(RunLimits{row.iter_limit, row.node_limit, std::chrono::seconds(row.seconds)}, {}, clock)
                            .run(chains(g, row.chains), std::vector{grow()});
    EXPECT_EQ(to_string(r.stop), row.stop);
    EXPECT_EQ(r.iterations.size(), row.iterations) << row.stop;
    EXPECT_EQ(r.nodes, row.nodes) << row.stop;
  }
}

// The first rule's course, one word per iteration: "-" when it was not
// searched, else its matches, "b" when they were over the limit and the rule
// banned; "+" when the bans were fast-forwarded.
std::string course(const RunReport& r) {
  std::string s;
  for (const Iteration& it : r.iterations) {
    const RuleIteration& rule = it.rules[0];
    s += (rule.searched ? std::to_string(rule.matches) + (rule.banned ? "b" : "") : "-") + (it.fast_forward ? "+ " : " ");
  }
  return s;
}

// 1500 f-nodes: more matches than the first limit (1000), fewer than the
// second (2000); swapped, 3000 are over that and under the third (4000).
// Alone, a banned rule is searched again at once; while another rule keeps
// changing the graph, its bans of 5 and then 10 iterations are waited out.
TEST(Scheduler, BansDoubleTheirLimitAndLength) {
  const Rewrite swap = rewrite("swap", "(f ?a ?b)", "(f ?b ?a)");
  EGraph alone, growing;
  for (EGraph* g : {&alone, &growing}) {
    const ClassId a = leaf(*g, "a");
    for (int i = 0; i < 1500; ++i) app(*g, "f", {a, leaf(*g, "v" + std::to_string(i))});
  }
  const RunReport r = Runner(RunLimits{}).run(alone, std::vector{swap});
  EXPECT_EQ(course(r), "1500b+ 1500 3000b+ 3000 ");
  EXPECT_EQ(r.nodes, 3001u + 1500u);  // every swapped form added once
  RunLimits limits;
  limits.iter_limit = 18;
  EXPECT_EQ(course(Runner(limits).run(chains(growing, 1), std::vector{swap, grow()})),
            "1500b - - - - 1500 3000b - - - - - - - - - 3000 3000 ");
}

}  // namespace
}  // namespace velmora::egraph
