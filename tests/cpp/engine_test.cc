// The rewrite engine: its twelve rules, the canonical graph it returns for
// small graphs, and soundness on large graphs where the scheduler or a limit
// cuts the run short.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "absl/container/flat_hash_map.h"

#include "base/panic.h"
#include "optimizer/egraph/runner.h"
#include "optimizer/engine/engine.h"

namespace velmora {
namespace {

constexpr const char* kAddZeroR = "op|add|scalar=f0000000000000000;side=sr";
constexpr const char* kAddZeroL = "op|add|scalar=f0000000000000000;side=sl";
constexpr const char* kMulOneR = "op|mul|scalar=f3ff0000000000000;side=sr";
constexpr const char* kMulOneL = "op|mul|scalar=f3ff0000000000000;side=sl";

EngineNode node(std::string op, std::vector<uint64_t> children = {}) {
  const bool opaque = !op.starts_with("op|");
  return EngineNode{std::move(op), std::move(children), opaque};
}

Canonical run(const std::vector<EngineNode>& nodes, std::vector<uint64_t> outputs) {
  static const EggEngine engine = EggEngine::make_default();
  return engine.canonicalize(EngineGraph{nodes, std::move(outputs)});
}

TEST(EngineRules, TwelveRulesInOrderWithIterationLimit12) {
  const EggEngine engine = EggEngine::make_default();
  EXPECT_EQ(engine.iter_limit(), 12u);
  std::vector<std::string> seen;
  for (const auto& r : engine.rules()) {
    seen.push_back(r.name() + ": " + r.lhs().to_string() + " => " + r.rhs().to_string());
  }
  const std::vector<std::string> want = {
      "commute-add: (op|add ?a ?b) => (op|add ?b ?a)",
      "commute-mul: (op|mul ?a ?b) => (op|mul ?b ?a)",
      "commute-and: (op|and ?a ?b) => (op|and ?b ?a)",
      "commute-or: (op|or ?a ?b) => (op|or ?b ?a)",
      "commute-eq: (op|eq ?a ?b) => (op|eq ?b ?a)",
      "commute-ne: (op|ne ?a ?b) => (op|ne ?b ?a)",
      "commute-maximum: (op|maximum ?a ?b) => (op|maximum ?b ?a)",
      "commute-minimum: (op|minimum ?a ?b) => (op|minimum ?b ?a)",
      std::string("identity-0: (") + kAddZeroR + " ?x) => ?x",
      std::string("identity-1: (") + kAddZeroL + " ?x) => ?x",
      std::string("identity-2: (") + kMulOneR + " ?x) => ?x",
      std::string("identity-3: (") + kMulOneL + " ?x) => ?x",
  };
  EXPECT_EQ(seen, want);
  EXPECT_EQ(std::string(kAddZeroR).size(), 39u);
}

TEST(Engine, WorkedExample) {
  const Canonical c = run({node("src|x"), node("src|y"), node("op|add", {0, 1}), node("op|add", {1, 0}),
                           node(kMulOneR, {3})},
                          {4});
  const EngineGraph want{{node("src|x"), node("src|y"), node("op|add", {0, 1})}, {2}};
  EXPECT_EQ(c.graph, want);
  EXPECT_EQ(c.canonical_index, (std::vector<uint64_t>{0, 1, 2, 2, 2}));
}

TEST(Engine, EmptyGraph) {
  const Canonical c = run({}, {});
  EXPECT_TRUE(c.graph.nodes.empty());
  EXPECT_TRUE(c.graph.outputs.empty());
  EXPECT_TRUE(c.canonical_index.empty());
}

TEST(Engine, StructuralDuplicatesCollapseIntoTheEarlier) {
  const Canonical c = run({node("src|x"), node("op|neg", {0}), node("op|neg", {0}), node("src|x"),
                           node("op|sub", {1, 2}), node("op|sub", {2, 1})},
                          {5, 4});
  EXPECT_EQ(c.canonical_index, (std::vector<uint64_t>{0, 1, 1, 0, 2, 2}));
  EXPECT_EQ(c.graph.nodes.size(), 3u);
  EXPECT_EQ(c.graph.nodes[2], node("op|sub", {1, 1}));
  EXPECT_EQ(c.graph.outputs, (std::vector<uint64_t>{2, 2}));
}

TEST(Engine, CommutedOperandsKeepTheFirstSeenOrder) {
  for (const char* op : {"op|add", "op|mul", "op|and", "op|or", "op|eq", "op|ne", "op|maximum", "op|minimum"}) {
    const Canonical c = run({node("src|b"), node("src|a"), node(op, {1, 0}), node(op, {0, 1})}, {3});
    EXPECT_EQ(c.canonical_index, (std::vector<uint64_t>{0, 1, 2, 2})) << op;
    EXPECT_EQ(c.graph.nodes.back(), node(op, {1, 0})) << op;
  }
  // Not commutative, or carrying a parameter, or not two inputs: kept apart.
  for (const char* op : {"op|sub", "op|add|scalar=i1", "op|Add", "op|add_x", "op|addx"}) {
    const Canonical c = run({node("src|a"), node("src|b"), node(op, {0, 1}), node(op, {1, 0})}, {});
    EXPECT_EQ(c.graph.nodes.size(), 4u) << op;
  }
  const Canonical three = run({node("src|a"), node("src|b"), node("op|add", {0, 1, 0}), node("op|add", {1, 0, 0})}, {});
  EXPECT_EQ(three.graph.nodes.size(), 4u);
}

TEST(Engine, IdentityOpsMapToTheirOperand) {
  for (const char* op : {kAddZeroR, kAddZeroL, kMulOneR, kMulOneL}) {
    const Canonical c = run({node("src|x"), node(op, {0}), node("op|neg", {1})}, {1});
    EXPECT_EQ(c.canonical_index, (std::vector<uint64_t>{0, 0, 1})) << op;
    EXPECT_EQ(c.graph.nodes, (std::vector<EngineNode>{node("src|x"), node("op|neg", {0})})) << op;
    EXPECT_EQ(c.graph.outputs, (std::vector<uint64_t>{0})) << op;
  }
  // Chains collapse through every level; duplicate outputs stay duplicated.
  const Canonical chain = run({node("src|x"), node(kMulOneL, {0}), node(kAddZeroR, {1})}, {2, 2, 0});
  EXPECT_EQ(chain.canonical_index, (std::vector<uint64_t>{0, 0, 0}));
  EXPECT_EQ(chain.graph.outputs, (std::vector<uint64_t>{0, 0, 0}));
}

TEST(Engine, NearIdentitiesAreKept) {
  for (const char* op : {"op|mul|scalar=i1;side=sl", "op|add|scalar=f8000000000000000;side=sr",
                         "op|add|scalar=f0000000000000000;side=sr;x=i1", "op|add|scalar=f0000000000000000",
                         "op|add|scalar=f0000000000000000;side=sx"}) {
    const Canonical c = run({node("src|x"), node(op, {0})}, {1});
    EXPECT_EQ(c.canonical_index, (std::vector<uint64_t>{0, 1})) << op;
  }
  // The identity token with two inputs is not the identity pattern.
  const Canonical two = run({node("src|x"), node("src|y"), node(kAddZeroR, {0, 1})}, {2});
  EXPECT_EQ(two.canonical_index, (std::vector<uint64_t>{0, 1, 2}));
}

TEST(Engine, CongruenceReachesOpaqueNodesWithUnambiguousTokens) {
  const Canonical c = run({node("src|x"), node("src|y"), node("op|add", {0, 1}), node("op|add", {1, 0}),
                           node("red|sum", {2}), node("red|sum", {3}), node("join", {4, 5}), node("join", {5, 4})},
                          {7});
  EXPECT_EQ(c.canonical_index, (std::vector<uint64_t>{0, 1, 2, 2, 3, 3, 4, 4}));
  EXPECT_TRUE(c.graph.nodes[3].opaque);
  EXPECT_EQ(c.graph.nodes[4], node("join", {3, 3}));
}

// The engine knows nodes only by text and children: equal texts over equal
// children collapse whatever kind they name (the pipeline gives stages and
// externals texts that tell distinct nodes apart).
TEST(Engine, EqualTextsOverEqualChildrenCollapse) {
  const Canonical c = run({node("src|x"), node("stage|2", {0}), node("stage|2", {0}), node("ext|a|b|c|d|e|-", {0}),
                           node("ext|a|b|c|d|e|-", {0}), node("op|neg", {1}), node("op|neg", {2})},
                          {5, 6});
  EXPECT_EQ(c.canonical_index, (std::vector<uint64_t>{0, 1, 1, 2, 2, 3, 3}));
  const Canonical d = run({node("src|x"), node(kMulOneR, {0}), node("stage|1", {0}), node("stage|1", {1}),
                           node(kAddZeroL, {3})},
                          {4});
  EXPECT_EQ(d.canonical_index, (std::vector<uint64_t>{0, 0, 1, 1, 1}));
  EXPECT_EQ(d.graph.nodes[1], node("stage|1", {0}));
}

TEST(Engine, OpaqueIsRecomputedFromTheToken) {
  const Canonical c = run({EngineNode{"src|x", {}, false}, EngineNode{"op|neg", {0}, true}}, {1});
  EXPECT_TRUE(c.graph.nodes[0].opaque);
  EXPECT_FALSE(c.graph.nodes[1].opaque);
}

TEST(Engine, BrokenPreconditionsPanic) {
  EXPECT_THROW(run({node("src|x"), node("op|neg", {1})}, {}), Panic);
  EXPECT_THROW(run({node("src|x"), node("op|neg", {5})}, {}), Panic);
  EXPECT_THROW(run({node("src|x")}, {1}), Panic);
}

TEST(Engine, CanonicalizingASaturatedResultChangesNothing) {
  const Canonical first = run({node("src|x"), node("src|y"), node("op|mul", {0, 1}), node("op|mul", {1, 0}),
                               node(kAddZeroR, {3}), node("op|maximum", {4, 0}), node("op|maximum", {0, 2})},
                              {6, 5});
  const Canonical second = run(first.graph.nodes, first.graph.outputs);
  EXPECT_EQ(second.graph, first.graph);
  EXPECT_EQ(second.canonical_index, (std::vector<uint64_t>{0, 1, 2, 3}));
}

// One engine shared by several threads: each call has its own e-graph, and the
// only shared structure is the symbol table (also run under ThreadSanitizer).
TEST(Engine, ConcurrentCallsOnOneEngineAgree) {
  const EggEngine engine = EggEngine::make_default();
  std::vector<EngineNode> nodes = {node("src|x"), node("src|y")};
  for (uint64_t i = 2; i < 400; ++i) {
    nodes.push_back(node(i % 3 == 0 ? "op|add" : i % 3 == 1 ? kMulOneR : "op|sub|k=s" + std::to_string(i % 7),
                         i % 3 == 1 ? std::vector<uint64_t>{i - 1} : std::vector<uint64_t>{i - 1, i - 2}));
  }
  const EngineGraph g{nodes, {399, 398}};
  const Canonical want = engine.canonicalize(g);
  std::vector<Canonical> got(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < got.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < 20; ++r) got[t] = engine.canonicalize(g);
    });
  }
  for (auto& th : threads) th.join();
  for (const Canonical& c : got) {
    EXPECT_EQ(c.graph, want.graph);
    EXPECT_EQ(c.canonical_index, want.canonical_index);
  }
}

// --- Large graphs -----------------------------------------------------------

// A normal form per node under the rules (identity ops are their operand,
// commutative operands are sorted); two nodes are provably equal exactly when
// their forms are equal.
std::vector<uint64_t> normal_forms(const std::vector<EngineNode>& nodes) {
  absl::flat_hash_map<std::pair<std::string_view, std::vector<uint64_t>>, uint64_t> ids;
  std::vector<uint64_t> form(nodes.size());
  const std::vector<std::string> commutative = {"op|add", "op|mul", "op|and", "op|or",
                                                "op|eq", "op|ne", "op|maximum", "op|minimum"};
  for (size_t i = 0; i < nodes.size(); ++i) {
    const EngineNode& n = nodes[i];
    std::vector<uint64_t> kids;
    for (uint64_t c : n.children) kids.push_back(form[c]);
    if ((n.op == kAddZeroR || n.op == kAddZeroL || n.op == kMulOneR || n.op == kMulOneL) && kids.size() == 1) {
      form[i] = kids[0];
      continue;
    }
    if (kids.size() == 2 && std::find(commutative.begin(), commutative.end(), n.op) != commutative.end()) {
      std::sort(kids.begin(), kids.end());
    }
    form[i] = ids.try_emplace({std::string_view(n.op), std::move(kids)}, ids.size()).first->second;
  }
  return form;
}

// Sound: nodes the engine merged have equal forms. Complete (when asked):
// nodes with equal forms were merged.
void expect_sound(const std::vector<EngineNode>& nodes, const Canonical& c, bool complete) {
  const std::vector<uint64_t> form = normal_forms(nodes);
  std::vector<uint64_t> form_of_canonical(c.graph.nodes.size(), ~uint64_t{0});
  absl::flat_hash_map<uint64_t, uint64_t> canonical_of_form;
  size_t missed = 0;
  for (size_t i = 0; i < nodes.size(); ++i) {
    uint64_t& f = form_of_canonical[c.canonical_index[i]];
    if (f == ~uint64_t{0}) f = form[i];
    ASSERT_EQ(f, form[i]) << "node " << i << " was merged with a node it does not equal";
    auto [it, fresh] = canonical_of_form.try_emplace(form[i], c.canonical_index[i]);
    if (!fresh && it->second != c.canonical_index[i]) ++missed;
  }
  if (complete) {
    EXPECT_EQ(missed, 0u);
  }
}

// A mixed element-wise graph: sources, commutative ops and their commuted
// duplicates, identity ops, and other ops, with `adds` two-input adds.
std::vector<EngineNode> mixed_graph(size_t size, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<EngineNode> nodes;
  const char* others[] = {"op|sub", "op|neg", "op|exp", "op|mul|scalar=f4000000000000000;side=sr", "red|sum"};
  const char* identities[] = {kAddZeroR, kAddZeroL, kMulOneR, kMulOneL};
  const char* commutative[] = {"op|mul", "op|maximum", "op|eq"};
  for (size_t i = 0; i < 64; ++i) nodes.push_back(node("src|s" + std::to_string(i)));
  while (nodes.size() < size) {
    auto pick = [&] { return rng() % nodes.size(); };
    const unsigned kind = rng() % 10;
    if (kind < 3) {
      nodes.push_back(node("op|add", {pick(), pick()}));
    } else if (kind < 4) {
      nodes.push_back(node(commutative[rng() % 3], {pick(), pick()}));
    } else if (kind < 6) {
      const EngineNode& prev = nodes[nodes.size() - 1 - rng() % std::min<size_t>(nodes.size(), 50)];
      if (prev.children.size() == 2) {
        nodes.push_back(node(prev.op, {prev.children[1], prev.children[0]}));
      } else {
        nodes.push_back(node("op|add", {pick(), pick()}));
      }
    } else if (kind < 8) {
      nodes.push_back(node(identities[rng() % 4], {pick()}));
    } else {
      const char* op = others[rng() % 5];
      if (std::string(op) == "op|sub") {
        nodes.push_back(node(op, {pick(), pick()}));
      } else {
        nodes.push_back(node(op, {pick()}));
      }
    }
  }
  return nodes;
}

// The default limits, without the time limit: sanitizer builds are slow, and
// what these tests look at must not depend on the machine's speed.
egraph::RunLimits unhurried(const EggEngine& engine, size_t n) {
  egraph::RunLimits limits = engine.limits_for(n);
  limits.time_limit = std::chrono::hours(1);
  return limits;
}

TEST(EngineLarge, RulesWithManyMatchesStillFireAfterTheirBans) {
  const std::vector<EngineNode> nodes = mixed_graph(200'000, 7);
  const EggEngine engine = EggEngine::make_default();
  egraph::RunReport report;
  const Canonical c = engine.canonicalize_with(EngineGraph{nodes, {}}, unhurried(engine, nodes.size()), &report);
  EXPECT_EQ(report.stop, egraph::StopReason::kSaturated);
  EXPECT_TRUE(report.iterations[0].rules[0].banned);  // tens of thousands of adds
  expect_sound(nodes, c, /*complete=*/true);
}

TEST(EngineLarge, NodeLimitGivesAnIncompleteButSoundResult) {
  const std::vector<EngineNode> nodes = mixed_graph(100'000, 11);
  const EggEngine engine = EggEngine::make_default();
  const Canonical full = engine.canonicalize_with(EngineGraph{nodes, {}}, unhurried(engine, nodes.size()));
  egraph::RunLimits limits = unhurried(engine, nodes.size());
  limits.node_limit = nodes.size();  // the swapped forms of the first iteration cross it
  egraph::RunReport report;
  const Canonical cut = engine.canonicalize_with(EngineGraph{nodes, {}}, limits, &report);
  EXPECT_EQ(report.stop, egraph::StopReason::kNodeLimit);
  EXPECT_GT(cut.graph.nodes.size(), full.graph.nodes.size());
  expect_sound(nodes, cut, /*complete=*/false);
  expect_sound(nodes, full, /*complete=*/true);
}

// More matches than the scheduler lets through within twelve iterations: the
// rule never fires and commuted duplicates stay apart. The result is still
// sound, and the canonical node count shows what was left unproven.
TEST(EngineLarge, RuleBeyondTheLastBanNeverFires) {
  EngineGraph g;
  const uint64_t sources = 1500;
  g.nodes.reserve(sources * sources);
  for (uint64_t i = 0; i < sources; ++i) g.nodes.push_back(node("src|s" + std::to_string(i)));
  for (uint64_t i = 0; i < sources; ++i) {
    for (uint64_t j = 0; j < sources; ++j) {
      if (i != j) g.nodes.push_back(node("op|add", {i, j}));
    }
  }
  ASSERT_GT(g.nodes.size() - sources, 2'048'000u);  // past 1000 << 11
  const EggEngine engine = EggEngine::make_default();
  egraph::RunReport report;
  const Canonical c = engine.canonicalize_with(g, unhurried(engine, g.nodes.size()), &report);
  EXPECT_EQ(report.stop, egraph::StopReason::kIterationLimit);
  for (const auto& it : report.iterations) EXPECT_EQ(it.rules[0].merged, 0u);
  EXPECT_EQ(c.graph.nodes.size(), g.nodes.size());
  // A few adds fewer bring the count under the last limit: the rule fires in
  // the final iteration and every commuted pair collapses.
  g.nodes.resize(sources + 2'048'000);
  const Canonical d = engine.canonicalize_with(g, unhurried(engine, g.nodes.size()));
  expect_sound(g.nodes, d, /*complete=*/true);
  EXPECT_LT(d.graph.nodes.size(), g.nodes.size() * 3 / 4);
}

}  // namespace
}  // namespace velmora
