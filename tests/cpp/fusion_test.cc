#include "gtest/gtest.h"
#include "optimizer/fusion.h"

namespace velmora {
namespace {

using Refs = std::vector<StageRef>;
StageRef In(uint64_t k) { return StageRef::Input(k); }
StageRef Mem(uint64_t k) { return StageRef::Member(k); }

// A small graph builder: sources are opaque "src|<name>" nodes, ops "op|<name>".
struct Graph {
  EngineGraph g;
  GraphStore keys;  // templates for opaque nodes
  TokenTemplates templates;

  uint64_t add(std::string op, std::vector<uint64_t> children, bool opaque) {
    g.nodes.push_back({std::move(op), std::move(children), opaque});
    return g.nodes.size() - 1;
  }
  uint64_t src(const std::string& name) { return add("src|" + name, {}, true); }
  uint64_t op(const std::string& name, std::vector<uint64_t> children) {
    return add("op|" + name, std::move(children), false);
  }
  uint64_t red(const std::string& name, std::vector<uint64_t> children) {
    return add("red|" + name, std::move(children), true);
  }
  Fused fuse(bool maximal) {
    const TemplateGraph t = TemplateGraph::from(g);
    templates.assign(t.texts.size(), std::nullopt);
    for (std::size_t k = 0; k < t.texts.size(); ++k) {
      const std::string op(t.texts[k]);
      if (op.starts_with("op|")) continue;
      const NodeKey key = op.starts_with("src|")   ? NodeKey::Source(op.substr(4))
                          : op.starts_with("red|") ? NodeKey::Reduction(op.substr(4), {})
                                                   : NodeKey::Exchange({});
      const NodeId id = keys.intern(key).value();
      templates[k] = keys.snapshot().nodes[id];
    }
    return stage_fusion(t, templates, maximal);
  }
};

NodeKey stage(Inputs inputs, std::vector<StageOp> members) {
  return NodeKey::Stage(std::move(inputs), std::move(members));
}

TEST(StageFusion, FanOutUnderBothRules) {
  Graph t;
  uint64_t s = t.src("s");
  uint64_t a = t.op("a", {s});
  uint64_t b = t.op("b", {a});
  uint64_t c = t.op("c", {a});
  uint64_t d = t.op("d", {b, c});
  t.g.outputs = {d};

  Fused single = t.fuse(false);
  ASSERT_EQ(single.nodes.size(), 3u);
  EXPECT_EQ(single.nodes[0], NodeKey::Source("s"));
  EXPECT_EQ(single.nodes[1], stage({0}, {{"op|a", Refs{In(0)}}}));
  EXPECT_EQ(single.nodes[2], stage({1}, {{"op|b", Refs{In(0)}},
                                         {"op|c", Refs{In(0)}},
                                         {"op|d", Refs{Mem(0), Mem(1)}}}));
  EXPECT_EQ(single.outputs, (std::vector<NodeId>{2}));
  EXPECT_EQ(single.stages, 2u);
  EXPECT_EQ(single.boundary_nodes, 1u);
  EXPECT_EQ(single.placement[a], (Placement{1, 0}));
  EXPECT_EQ(single.placement[c], (Placement{2, 1}));

  Fused maximal = t.fuse(true);
  ASSERT_EQ(maximal.nodes.size(), 2u);
  EXPECT_EQ(maximal.nodes[1], stage({0}, {{"op|a", Refs{In(0)}},
                                          {"op|b", Refs{Mem(0)}},
                                          {"op|c", Refs{Mem(0)}},
                                          {"op|d", Refs{Mem(1), Mem(2)}}}));
  EXPECT_EQ(maximal.outputs, (std::vector<NodeId>{1}));
  EXPECT_EQ(maximal.stages, 1u);
  EXPECT_EQ(maximal.placement[c], (Placement{1, 2}));
  EXPECT_EQ(maximal.placement[s], (Placement{0, std::nullopt}));
}

TEST(StageFusion, OutputsCutChains) {
  for (bool maximal : {false, true}) {
    Graph t;
    uint64_t s = t.src("s");
    uint64_t a = t.op("a", {s});
    uint64_t b = t.op("b", {a});
    uint64_t c = t.op("c", {b});
    t.g.outputs = {c};
    Fused whole = t.fuse(maximal);
    ASSERT_EQ(whole.nodes.size(), 2u);
    EXPECT_EQ(whole.nodes[1], stage({0}, {{"op|a", Refs{In(0)}},
                                          {"op|b", Refs{Mem(0)}},
                                          {"op|c", Refs{Mem(1)}}}));

    t.g.outputs = {c, b, c};
    Fused cut = t.fuse(maximal);
    ASSERT_EQ(cut.nodes.size(), 3u) << maximal;
    EXPECT_EQ(cut.nodes[1], stage({0}, {{"op|a", Refs{In(0)}}, {"op|b", Refs{Mem(0)}}}));
    EXPECT_EQ(cut.nodes[2], stage({1}, {{"op|c", Refs{In(0)}}}));
    EXPECT_EQ(cut.outputs, (std::vector<NodeId>{2, 1, 2}));
  }
}

TEST(StageFusion, OpaqueConsumersAndRepeatedInputs) {
  Graph t;
  uint64_t s = t.src("s");
  uint64_t x = t.op("x", {s});
  uint64_t sq = t.op("mul", {x, x});
  uint64_t r = t.red("sum", {sq});
  t.g.outputs = {r};

  Fused single = t.fuse(false);  // x has two uses, so it stays alone
  ASSERT_EQ(single.nodes.size(), 4u);
  EXPECT_EQ(single.nodes[2], stage({1}, {{"op|mul", Refs{In(0), In(0)}}}));
  EXPECT_EQ(single.nodes[3], NodeKey::Reduction("sum", {2}));
  EXPECT_EQ(single.boundary_nodes, 2u);

  Fused maximal = t.fuse(true);  // both uses lie in one stage
  ASSERT_EQ(maximal.nodes.size(), 3u);
  EXPECT_EQ(maximal.nodes[1], stage({0}, {{"op|x", Refs{In(0)}},
                                          {"op|mul", Refs{Mem(0), Mem(0)}}}));
  EXPECT_EQ(maximal.nodes[2], NodeKey::Reduction("sum", {1}));
}

TEST(StageFusion, InputSlotsInFirstUseOrder) {
  Graph t;
  uint64_t p = t.src("p");
  uint64_t q = t.src("q");
  uint64_t a = t.op("a", {q, p});
  uint64_t b = t.op("b", {p, a, q});
  t.g.outputs = {b};
  Fused f = t.fuse(false);
  ASSERT_EQ(f.nodes.size(), 3u);
  EXPECT_EQ(f.nodes[2], stage({1, 0}, {{"op|a", Refs{In(0), In(1)}},
                                       {"op|b", Refs{In(1), Mem(0), In(0)}}}));
}

TEST(StageFusion, OpaqueOnlyAndEmptyGraphs) {
  Graph empty;
  Fused none = empty.fuse(false);
  EXPECT_TRUE(none.nodes.empty());
  EXPECT_EQ(none.stages + none.boundary_nodes, 0u);

  Graph t;
  uint64_t s = t.src("s");
  uint64_t r = t.red("sum", {s, s});
  t.g.outputs = {r, s};
  Fused f = t.fuse(true);
  EXPECT_EQ(f.nodes, (std::vector<NodeKey>{NodeKey::Source("s"), NodeKey::Reduction("sum", {0, 0})}));
  EXPECT_EQ(f.stages, 0u);
  EXPECT_EQ(f.boundary_nodes, 2u);
  EXPECT_EQ(f.outputs, (std::vector<NodeId>{1, 0}));
}

TEST(StageFusion, MissingTemplateIsAnInvariantFailure) {
  EngineGraph g;
  g.nodes.push_back({"src|x", {}, true});
  TokenTemplates none;
  EXPECT_THROW((void)stage_fusion(TemplateGraph::from(g), none, false), Panic);
}

}  // namespace
}  // namespace velmora
