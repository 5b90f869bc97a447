#include "gtest/gtest.h"
#include "optimizer/incremental/incremental.h"

namespace velmora {
namespace {

ParamMap mul_one(const char* side) {
  return ParamMap({{"scalar", ParamValue::Float(1.0)}, {"side", ParamValue::Str(side)}});
}

std::vector<NodeKey> worked_example() {
  return {NodeKey::Source("x"),
          NodeKey::Source("y"),
          NodeKey::Op("add", {0, 1}),
          NodeKey::Op("add", {1, 0}),
          NodeKey::Op("mul", {3}, mul_one("r")),
          NodeKey::Op("add", {1, 0}, ParamMap({{"k", ParamValue::Int(1)}}))};
}

// The nodes interned into `store`; steps read views of it.
NodesView record(GraphStore& store, const std::vector<NodeKey>& nodes) {
  for (const NodeKey& k : nodes) EXPECT_TRUE(store.intern(k).ok());
  return store.snapshot().nodes;
}

TEST(IncrementalReducer, WorkedExample) {
  GraphStore store;
  const NodesView nodes = record(store, worked_example());
  auto slice = [&](uint64_t from, uint64_t to) { return nodes.sub(from, to); };
  IncrementalReducer r;
  EXPECT_EQ(r.step(slice(0, 3)).value(), 3u);
  EXPECT_EQ(r.canonical_of(), (std::vector<uint64_t>{0, 1, 2}));
  EXPECT_EQ(r.step(slice(3, 5)).value(), 2u);
  EXPECT_EQ(r.canonical_of(), (std::vector<uint64_t>{0, 1, 2, 2, 2}));
  EXPECT_EQ(r.total_work(), 5u);
  EXPECT_EQ(r.watermark(), 5u);
  EXPECT_EQ(r.canonical_count(), 3u);
  EXPECT_EQ(r.step({}).value(), 0u);
  EXPECT_EQ(r.total_work(), 5u);
  EXPECT_EQ(r.step(slice(5, 6)).value(), 1u);
  EXPECT_EQ(r.canonical_of(), (std::vector<uint64_t>{0, 1, 2, 2, 2, 3}));
  EXPECT_EQ(r.canonical_form()[3], NodeKey::Op("add", {1, 0}, ParamMap({{"k", ParamValue::Int(1)}})));
  EXPECT_EQ(r.total_work(), 6u);
  EXPECT_EQ(r.canonical_count(), 4u);
}

TEST(IncrementalReducer, OneStepOrManyGiveTheSameForm) {
  auto keys = worked_example();
  keys.push_back(NodeKey::Op("sub", {0, 1}));
  keys.push_back(NodeKey::Op("sub", {1, 0}));
  keys.push_back(NodeKey::Op("neg", {4}));  // congruent with neg(2) after remapping
  keys.push_back(NodeKey::Op("neg", {2}));
  keys.push_back(NodeKey::Op("mul", {4}, mul_one("l")));  // identity over an identity
  GraphStore store;
  const NodesView nodes = record(store, keys);
  auto slice = [&](uint64_t from, uint64_t to) { return nodes.sub(from, to); };
  IncrementalReducer whole, piecewise;
  ASSERT_TRUE(whole.step(nodes).ok());
  for (std::size_t i = 0; i < nodes.size(); ++i) ASSERT_TRUE(piecewise.step(slice(i, i + 1)).ok());
  EXPECT_EQ(whole.canonical_form(), piecewise.canonical_form());
  EXPECT_EQ(whole.canonical_of(), piecewise.canonical_of());
  EXPECT_EQ(whole.total_work(), nodes.size());
  EXPECT_EQ(piecewise.watermark(), nodes.size());
  EXPECT_NE(whole.canonical_of()[6], whole.canonical_of()[7]);  // sub does not commute
  EXPECT_EQ(whole.canonical_of()[8], whole.canonical_of()[9]);
  EXPECT_EQ(whole.canonical_of()[10], 2u);
}

// An identity token with zero or several inputs is an ordinary node: dropping
// it for its first input would lose the other inputs' computation.
TEST(IncrementalReducer, IdentityNeedsExactlyOneInput) {
  GraphStore store;
  const NodesView nodes = record(store, {NodeKey::Source("x"), NodeKey::Source("y"),
                                         NodeKey::Op("mul", {0, 1}, mul_one("r")),
                                         NodeKey::Op("mul", {}, mul_one("r"))});
  IncrementalReducer r;
  ASSERT_TRUE(r.step(nodes).ok());
  EXPECT_EQ(r.canonical_of(), (std::vector<uint64_t>{0, 1, 2, 3}));

  EggEngine engine = EggEngine::make_default();
  Reduced inc = r.finalize({2, 3}, engine, false).value();
  Reduced direct = reduce_with_mode(store.snapshot().nodes, {2, 3}, engine, false);
  EXPECT_EQ(inc.nodes, direct.nodes);
  EXPECT_EQ(inc.outputs, direct.outputs);
  EXPECT_EQ(inc.node_map, direct.node_map);
  EXPECT_EQ(inc.report.reduced_nodes, 4u);
}

TEST(IncrementalReducer, BadIdsKeepEarlierNodesAndNoWork) {
  // A delta that does not continue where the reducer stopped: store nodes 4
  // to 6 fed first, so node 6's input 5 is not consumed when it is reached.
  GraphStore store;
  const NodesView nodes = record(store, {NodeKey::Source("a"), NodeKey::Source("b"),
                                         NodeKey::Source("c"), NodeKey::Source("d"),
                                         NodeKey::Source("x"), NodeKey::Op("neg", {0}),
                                         NodeKey::Op("f", {0, 5})});
  IncrementalReducer r;
  auto bad = r.step(nodes.sub(4, 7));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().id, 5u);
  EXPECT_EQ(r.watermark(), 2u);
  EXPECT_EQ(r.total_work(), 0u);

  EggEngine engine = EggEngine::make_default();
  auto out = r.finalize({1, 4, 3}, engine, false);
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().id, 4u);
  EXPECT_EQ(r.watermark(), 2u);
}

TEST(IncrementalReducer, FinalizeMatchesReduce) {
  auto keys = worked_example();
  keys.push_back(NodeKey::Reduction("sum", {5}));
  keys.push_back(NodeKey::Op("neg", {3}));
  GraphStore store;
  const NodesView nodes = record(store, keys);
  EggEngine engine = EggEngine::make_default();
  IncrementalReducer r;
  ASSERT_TRUE(r.step(nodes).ok());
  for (bool maximal : {false, true}) {
    // With node 2 live, both keep the first-seen operand order of the add.
    const std::vector<NodeId> outputs = {7, 6, 4, 2, 7};
    Reduced inc = r.finalize(outputs, engine, maximal).value();
    Reduced again = r.finalize(outputs, engine, maximal).value();
    Reduced direct = reduce_with_mode(store.snapshot().nodes, outputs, engine, maximal);
    EXPECT_EQ(inc.nodes, direct.nodes);
    EXPECT_EQ(inc.outputs, direct.outputs);
    EXPECT_EQ(inc.node_map, direct.node_map);
    EXPECT_EQ(inc.node_map.size(), r.watermark());
    EXPECT_EQ(inc.node_map, again.node_map);
    EXPECT_EQ(inc.report.reduced_nodes, direct.report.reduced_nodes);
  }
  Reduced none = r.finalize({}, engine, false).value();
  EXPECT_TRUE(none.nodes.empty());
  EXPECT_EQ(none.node_map, NodeMap(nodes.size()));
}

}  // namespace
}  // namespace velmora
