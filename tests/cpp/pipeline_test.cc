#include "gtest/gtest.h"
#include "optimizer/pipeline.h"

namespace velmora {
namespace {

using Refs = std::vector<StageRef>;

ParamMap identity_params(double scalar, const char* side) {
  return ParamMap({{"scalar", ParamValue::Float(scalar)}, {"side", ParamValue::Str(side)}});
}

struct Fixture : ::testing::Test {
  EggEngine engine = EggEngine::make_default();
  GraphStore store;
  NodeId add(NodeKey k) { return store.intern(std::move(k)).value(); }
  void mark(NodeId id) { ASSERT_TRUE(store.mark_output(id).ok()); }
  ReducedStore reduce(bool maximal = false) { return reduce_with(store, engine, maximal); }
  ReducedStore reduce_to(const std::vector<NodeId>& outputs, bool maximal = false) {
    return reduce_with_outputs(store, outputs, engine, maximal).value();
  }
};

ReductionReport report(uint64_t in, uint64_t reach, uint64_t canon, uint64_t stages,
                       uint64_t reduced, uint64_t boundary) {
  return {in, reach, canon, stages, reduced, boundary};
}

using Pipeline = Fixture;

TEST_F(Pipeline, ChainBecomesOneStage) {
  NodeId s = add(NodeKey::Source("s"));
  NodeId a = add(NodeKey::Op("a", {s}));
  NodeId b = add(NodeKey::Op("b", {a}));
  mark(b);
  ReducedStore r = reduce();
  EXPECT_EQ(r.report, report(3, 3, 3, 1, 2, 1));
  Snapshot snap = r.store->snapshot();
  ASSERT_EQ(snap.nodes.size(), 2u);
  EXPECT_EQ(snap.nodes[0], NodeKey::Source("s"));
  EXPECT_EQ(snap.nodes[1], NodeKey::Stage({0}, {{"op|a", Refs{StageRef::Input(0)}},
                                                {"op|b", Refs{StageRef::Member(0)}}}));
  EXPECT_EQ(snap.outputs, (std::vector<NodeId>{1}));
  EXPECT_EQ(r.store->node_map(),
            (NodeMap{Placement{0, std::nullopt}, Placement{1, 0}, Placement{1, 1}}));
}

TEST_F(Pipeline, TypicalRequestDropsTheIdentity) {
  NodeId x = add(NodeKey::Source("x"));
  NodeId neg = add(NodeKey::Op("neg", {x}));
  NodeId id = add(NodeKey::Op("add", {neg}, identity_params(0.0, "r")));
  ReducedStore r = reduce_to({id});
  EXPECT_EQ(r.report, report(3, 3, 2, 1, 2, 1));
  EXPECT_EQ(r.store->outputs(), (std::vector<NodeId>{1}));
  NodeMap map = r.store->node_map();
  EXPECT_EQ(map[2], map[1]);  // the identity lands where its operand does
  EXPECT_EQ(map[1], (Placement{1, 0}));
}

TEST_F(Pipeline, CommutedDuplicatesAndEngineExample) {
  NodeId x = add(NodeKey::Source("x"));
  NodeId y = add(NodeKey::Source("y"));
  NodeId a = add(NodeKey::Op("add", {x, y}));
  NodeId b = add(NodeKey::Op("add", {y, x}));
  NodeId m = add(NodeKey::Op("mul", {b}, identity_params(1.0, "r")));
  ReducedStore r = reduce_to({m, a});
  EXPECT_EQ(r.report.canonical_nodes, 3u);
  NodeMap map = r.store->node_map();
  EXPECT_EQ(map[a], map[b]);
  EXPECT_EQ(map[b], map[m]);
  EXPECT_EQ(r.store->snapshot().nodes[2],
            NodeKey::Stage({0, 1}, {{"op|add", Refs{StageRef::Input(0), StageRef::Input(1)}}}));
}

TEST_F(Pipeline, EmptyOutputsAndDeadNodes) {
  add(NodeKey::Source("x"));
  NodeId y = add(NodeKey::Source("y"));
  add(NodeKey::Op("neg", {0}));
  mark(y);
  ReducedStore none = reduce_to(std::vector<NodeId>{});  // the marks are ignored
  EXPECT_EQ(none.report, report(3, 0, 0, 0, 0, 0));
  EXPECT_EQ(none.store->node_count(), 0u);
  EXPECT_EQ(none.store->node_map(), NodeMap(3));

  ReducedStore marked = reduce();
  EXPECT_EQ(marked.report, report(3, 1, 1, 0, 1, 1));
  EXPECT_EQ(marked.store->node_map(), (NodeMap{std::nullopt, Placement{0, std::nullopt},
                                               std::nullopt}));

  GraphStore empty;
  ReducedStore r = reduce_with(empty, engine, false);
  EXPECT_EQ(r.report, report(0, 0, 0, 0, 0, 0));
}

TEST_F(Pipeline, BadOutputsAreCheckedInOrderFirst) {
  for (int i = 0; i < 6; ++i) add(NodeKey::Source(std::to_string(i)));
  auto nine = reduce_with_outputs(store, {0, 5, 9}, engine, false);
  ASSERT_FALSE(nine.ok());
  EXPECT_EQ(nine.error().id, 9u);
  auto seven = reduce_with_outputs(store, {0, 7, 9}, engine, false);
  ASSERT_FALSE(seven.ok());
  EXPECT_EQ(seven.error().id, 7u);
}

TEST_F(Pipeline, DuplicateOutputsAreKeptButMarkedOnce) {
  NodeId x = add(NodeKey::Source("x"));
  NodeId n = add(NodeKey::Op("neg", {x}));
  auto direct = reduce_with_mode(store.snapshot().nodes, {n, x, n}, engine, false);
  EXPECT_EQ(direct.outputs, (std::vector<NodeId>{1, 0, 1}));
  EXPECT_EQ(reduce_to({n, x, n}).store->outputs(), (std::vector<NodeId>{1, 0}));
}

TEST_F(Pipeline, ReducingAReducedStoreCarriesTheStage) {
  NodeId s = add(NodeKey::Source("s"));
  NodeId a = add(NodeKey::Op("a", {s}));
  NodeId b = add(NodeKey::Op("b", {a}));
  mark(b);
  ReducedStore once = reduce();
  ReducedStore twice = reduce_with(*once.store, engine, false);
  EXPECT_EQ(twice.report, report(2, 2, 2, 0, 2, 2));
  EXPECT_EQ(twice.store->snapshot().nodes, once.store->snapshot().nodes);

  // An op on either side of an existing stage is never fused into it.
  GraphStore mixed;
  NodeId ms = mixed.intern(NodeKey::Source("s")).value();
  NodeId pre = mixed.intern(NodeKey::Op("pre", {ms})).value();
  NodeId st = mixed.intern(once.store->snapshot().nodes[1].with_inputs({pre})).value();
  NodeId post = mixed.intern(NodeKey::Op("post", {st})).value();
  ReducedStore r = reduce_with_outputs(mixed, {post}, engine, false).value();
  EXPECT_EQ(r.report, report(4, 4, 4, 2, 4, 2));
}

// Two stages of equal size over one input must stay distinct, and equal ones
// still merge; otherwise one would be rebuilt with the other's members.
TEST_F(Pipeline, DistinctStagesOfEqualSizeStayDistinct) {
  NodeId s = add(NodeKey::Source("s"));
  NodeKey neg = NodeKey::Stage({s}, {{"op|neg", Refs{StageRef::Input(0)}}});
  NodeKey abs = NodeKey::Stage({s}, {{"op|abs", Refs{StageRef::Input(0)}}});
  NodeId n1 = add(neg);
  NodeId n2 = add(abs);
  NodeId j = add(NodeKey::Join({n1, n2}));
  ReducedStore r = reduce_to({j});
  EXPECT_EQ(r.report, report(4, 4, 4, 0, 4, 4));
  std::vector<NodeKey> nodes = r.store->snapshot().nodes.keys();
  ASSERT_EQ(nodes.size(), 4u);
  EXPECT_EQ(nodes[1], neg);
  EXPECT_EQ(nodes[2], abs);
  ReducedStore again = reduce_with(*r.store, engine, false);
  EXPECT_EQ(again.store->snapshot().nodes, nodes);
}

TEST_F(Pipeline, ExternalsWithCollidingTokensStayDistinct) {
  NodeId s = add(NodeKey::Source("s"));
  // "a|b" + "c" and "a" + "b|c" join to the same token text, as do an absent
  // preprocessing_ref and one that is "-".
  PayloadDescriptor d1{"k", "a|b", "c", "v", "io", std::nullopt};
  PayloadDescriptor d2{"k", "a", "b|c", "v", "io", std::nullopt};
  PayloadDescriptor d3{"k", "a|b", "c", "v", "io", "-"};
  ASSERT_EQ(NodeKey::External(d1, {s}).token(), NodeKey::External(d2, {s}).token());
  ASSERT_EQ(NodeKey::External(d1, {s}).token(), NodeKey::External(d3, {s}).token());
  NodeId e1 = add(NodeKey::External(d1, {s}));
  NodeId e2 = add(NodeKey::External(d2, {s}));
  NodeId e3 = add(NodeKey::External(d3, {s}));
  ReducedStore r = reduce_to({e1, e2, e3});
  std::vector<NodeKey> nodes = r.store->snapshot().nodes.keys();
  ASSERT_EQ(nodes.size(), 4u);
  EXPECT_EQ(nodes[1], NodeKey::External(d1, {0}));
  EXPECT_EQ(nodes[2], NodeKey::External(d2, {0}));
  EXPECT_EQ(nodes[3], NodeKey::External(d3, {0}));
}

TEST_F(Pipeline, ReportInvariantOnAMixedGraph) {
  NodeId x = add(NodeKey::Source("x"));
  NodeId y = add(NodeKey::Source("y"));
  NodeId sum = add(NodeKey::Op("add", {x, y}));
  NodeId rev = add(NodeKey::Op("add", {y, x}));
  NodeId sq = add(NodeKey::Op("mul", {sum, rev}));
  NodeId red = add(NodeKey::Reduction("sum", {sq}));
  NodeId tail = add(NodeKey::Op("neg", {red}));
  NodeId ex = add(NodeKey::Exchange({tail, sq}));
  for (bool maximal : {false, true}) {
    ReducedStore r = reduce_to({ex, tail}, maximal);
    EXPECT_EQ(r.report.reduced_nodes, r.report.stages + r.report.boundary_nodes);
    EXPECT_EQ(r.store->node_count(), r.report.reduced_nodes);
    EXPECT_EQ(r.report.canonical_nodes, 7u);
  }
}

}  // namespace
}  // namespace velmora
