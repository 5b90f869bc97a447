// Reduction through a store's reduce and the incremental reducer's finalize:
// worked examples, and properties on random stores.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "alloc_harness.h"
#include "gtest/gtest.h"
#include "ids_for_test.h"
#include "hash_key_for_test.h"
#include "optimizer/incremental/incremental.h"
#include "optimizer/incremental/reducer_cell.h"
#include "optimizer/egraph/small_memo.h"
#include "optimizer/pipeline.h"
#include "serialize/blob.h"
#include "store_for_test.h"

namespace velmora {
namespace {

const EggEngine& engine() {
  static const EggEngine e = EggEngine::make_default();
  return e;
}

NodeKey src(std::string name) { return NodeKey::Source(std::move(name)); }
NodeKey op(std::string name, Inputs in) { return NodeKey::Op(std::move(name), std::move(in)); }
NodeKey stage(Inputs in, std::vector<StageOp> members) { return NodeKey::Stage(std::move(in), std::move(members)); }
StageRef In(uint64_t k) { return StageRef::Input(k); }
StageRef Mem(uint64_t k) { return StageRef::Member(k); }

// The add of 0.0 (which < 2) or the mul of 1.0, on the right or the left.
NodeKey identity(int which, Inputs in) {
  return NodeKey::Op(which < 2 ? "add" : "mul", std::move(in),
                     ParamMap({{"scalar", ParamValue::Float(which < 2 ? 0.0 : 1.0)},
                               {"side", ParamValue::Str(which % 2 ? "l" : "r")}}));
}

std::unique_ptr<GraphStore> store_of(const std::vector<NodeKey>& nodes) {
  auto store = std::make_unique<GraphStore>();
  for (const NodeKey& key : nodes) EXPECT_TRUE(store->intern(key).ok());
  return store;
}

ReducedStore reduce(const GraphStore& store, const std::vector<NodeId>& outputs, bool maximal = false) {
  return reduce_with_outputs(store, outputs, engine(), maximal).value();
}

// Each row: a store, its outputs and fusion rules (1 single-use, 2 maximal,
// 3 both), and the reduced store's nodes, marks and report.
NodeKey nan_sum(uint64_t in, uint64_t bits) {
  return NodeKey::Reduction("sum", ids(in), ParamMap({{"v", ParamValue::Float(std::bit_cast<double>(bits))}}));
}

TEST(Reduce, WorkedExamples) {
  struct Row {
    std::vector<NodeKey> nodes;
    std::vector<NodeId> outputs;
    int rules;
    std::vector<NodeKey> reduced;
    std::vector<NodeId> marks;
    ReductionReport report;
  };
  const std::vector<NodeKey> chain = {src("s"), op("a", ids(0)), op("b", ids(1)), op("c", ids(2))};
  const std::vector<NodeKey> fan = {src("s"), op("a", ids(0)), op("b", ids(1)), op("c", ids(1)), op("d", ids(2, 3))};
  for (const Row& row : std::vector<Row>{
           // Outputs cut chains.
           {chain, ids(3), 3, {src("s"), stage(ids(0), {{"op|a", {In(0)}}, {"op|b", {Mem(0)}}, {"op|c", {Mem(1)}}})}, ids(1),
            {4, 4, 4, 1, 2, 1}},
           {chain, ids(3, 2, 3), 3,
            {src("s"), stage(ids(0), {{"op|a", {In(0)}}, {"op|b", {Mem(0)}}}), stage(ids(1), {{"op|c", {In(0)}}})}, ids(2, 1),
            {4, 4, 4, 2, 3, 1}},
           // Fan-out: a stays alone under the single-use rule, joins under the maximal.
           {fan, ids(4), 1,
            {src("s"), stage(ids(0), {{"op|a", {In(0)}}}),
             stage(ids(1), {{"op|b", {In(0)}}, {"op|c", {In(0)}}, {"op|d", {Mem(0), Mem(1)}}})},
            ids(2), {5, 5, 5, 2, 3, 1}},
           {fan, ids(4), 2,
            {src("s"),
             stage(ids(0), {{"op|a", {In(0)}}, {"op|b", {Mem(0)}}, {"op|c", {Mem(0)}}, {"op|d", {Mem(1), Mem(2)}}})},
            ids(1), {5, 5, 5, 1, 2, 1}},
           // An op used twice by one consumer, before an opaque node.
           {{src("s"), op("x", ids(0)), op("mul", ids(1, 1)), NodeKey::Reduction("sum", ids(2))}, ids(3), 2,
            {src("s"), stage(ids(0), {{"op|x", {In(0)}}, {"op|mul", {Mem(0), Mem(0)}}}), NodeKey::Reduction("sum", ids(1))},
            ids(2), {4, 4, 4, 1, 3, 2}},
           // The identity vanishes; commuted duplicates become one.
           {{src("x"), op("neg", ids(0)), identity(0, ids(1))}, ids(2), 3, {src("x"), stage(ids(0), {{"op|neg", {In(0)}}})}, ids(1),
            {3, 3, 2, 1, 2, 1}},
           {{src("x"), src("y"), op("add", ids(0, 1)), op("add", ids(1, 0)), identity(2, ids(3))}, ids(4, 2), 3,
            {src("x"), src("y"), stage(ids(0, 1), {{"op|add", {In(0), In(1)}}})}, ids(2), {5, 5, 3, 1, 3, 2}},
           // NaNs of any payload are one param value: over operands the
           // identity joins, the two sums are one node.
           {{src("x"), identity(0, ids(0)), nan_sum(0, 0x7FF0000000000001), nan_sum(1, 0xFFF8000000005555)}, ids(2, 3), 3,
            {src("x"), nan_sum(0, 0x7FF0000000000001)}, ids(1), {4, 4, 2, 0, 2, 2}},
           // A carried stage equal to the one an op fuses into, either first:
           // both are one node, and the counts stay those of the fused list.
           {{src("s"), stage(ids(0), {{"op|neg", {In(0)}}}), op("neg", ids(0))}, ids(1, 2), 3,
            {src("s"), stage(ids(0), {{"op|neg", {In(0)}}})}, ids(1), {3, 3, 3, 1, 3, 2}},
           {{src("s"), op("neg", ids(0)), stage(ids(0), {{"op|neg", {In(0)}}})}, ids(2, 1), 3,
            {src("s"), stage(ids(0), {{"op|neg", {In(0)}}})}, ids(1), {3, 3, 3, 1, 3, 2}},
           // Then what reads either of the two meets as well, fused or carried.
           {{src("s"), stage(ids(0), {{"op|neg", {In(0)}}}), op("neg", ids(0)), op("exp", ids(1)), op("exp", ids(2)),
             NodeKey::Reduction("sum", ids(1)), NodeKey::Reduction("sum", ids(2))},
            ids(1, 2, 3, 4, 5, 6), 3,
            {src("s"), stage(ids(0), {{"op|neg", {In(0)}}}), stage(ids(1), {{"op|exp", {In(0)}}}), NodeKey::Reduction("sum", ids(1))},
            ids(1, 2, 3), {7, 7, 7, 3, 7, 4}},
           {{}, {}, 3, {}, {}, {0, 0, 0, 0, 0, 0}}}) {
    auto store = store_of(row.nodes);
    for (bool maximal : {false, true}) {
      if (!(row.rules & (maximal ? 2 : 1))) continue;
      const ReducedStore r = reduce(*store, row.outputs, maximal);
      EXPECT_EQ(r.store->snapshot().nodes.keys(), row.reduced);
      EXPECT_EQ(r.store->outputs(), row.marks);
      EXPECT_EQ(r.report, row.report);
      IncrementalReducer inc;
      ASSERT_TRUE(inc.step(store->snapshot().nodes).ok());
      const Reduced f = inc.finalize(row.outputs, engine(), maximal).value();
      EXPECT_TRUE(f.nodes == row.reduced);
      EXPECT_EQ(f.node_map, r.store->node_map());
    }
  }
  // There the carried stage stands as itself, the op as its member.
  auto carried = store_of({src("s"), stage(ids(0), {{"op|neg", {In(0)}}}), op("neg", ids(0))});
  EXPECT_EQ(reduce(*carried, ids(1, 2)).store->node_map(),
            (NodeMap{Placement{NodeId(0), std::nullopt}, Placement{NodeId(1), std::nullopt}, Placement{NodeId(1), 0}}));
  // The pipeline's worked example; reduce without outputs takes the marks.
  auto store = store_of({src("s"), op("a", ids(0)), op("b", ids(1)), src("dead")});
  EXPECT_EQ(reduce_with(*store, engine(), false).report, (ReductionReport{4, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(store->mark_output(NodeId(2)).ok());
  EXPECT_EQ(reduce(*store, {}).store->node_map(), NodeMap(4));
  const ReducedStore r = reduce_with(*store, engine(), false);
  EXPECT_EQ(r.report, (ReductionReport{4, 3, 3, 1, 2, 1}));
  EXPECT_EQ(r.store->node_map(), (NodeMap{Placement{NodeId(0), std::nullopt}, Placement{NodeId(1), 0}, Placement{NodeId(1), 1}, std::nullopt}));
  // Outputs are checked in order, before any work.
  EXPECT_EQ(reduce_with_outputs(*store, ids(0, 3, 9, 5), engine(), false).error(), BadNodeId{NodeId(9)});
  EXPECT_EQ(reduce_with_outputs(*store, ids(0, 7, 9), engine(), false).error(), BadNodeId{NodeId(7)});
  EXPECT_EQ(reduce_with_outputs(*store, ids(4), engine(), false).error(), BadNodeId{NodeId(4)});
}

// Step by step (one empty), finalize without outputs, ids not consumed yet.
TEST(IncrementalReducer, WorkedExample) {
  auto store = store_of({src("x"), src("y"), op("add", ids(0, 1)), op("add", ids(1, 0)), identity(2, ids(3)),
                         NodeKey::Op("add", ids(1, 0), ParamMap({{"k", ParamValue::Int(1)}}))});
  const NodesView nodes = store->snapshot().nodes;
  IncrementalReducer r;
  using State = std::tuple<uint64_t, std::vector<NodeId>, uint64_t, uint64_t, uint64_t>;
  auto step = [&](uint64_t from, uint64_t to) {
    const uint64_t consumed = r.step(nodes.sub(from, to)).value();
    return State{consumed, r.canonical_of(), r.total_work(), r.watermark(), r.canonical_count()};
  };
  EXPECT_EQ(step(0, 3), (State{3, ids(0, 1, 2), 3, 3, 3}));
  EXPECT_EQ(step(3, 5), (State{2, ids(0, 1, 2, 2, 2), 5, 5, 3}));
  EXPECT_EQ(step(5, 5), (State{0, ids(0, 1, 2, 2, 2), 5, 5, 3}));
  EXPECT_EQ(step(5, 6), (State{1, ids(0, 1, 2, 2, 2, 3), 6, 6, 4}));
  EXPECT_EQ(r.canonical_form()[3], nodes[5].to_key());
  EXPECT_EQ(r.finalize({}, engine(), false).value().node_map, NodeMap(6));
  // A delta that does not continue where the reducer stopped (nodes 1 to 3 fed
  // first, so node 2's input 1 is not consumed when it is reached): earlier
  // nodes of it stay, with no work counted.
  IncrementalReducer bad;
  EXPECT_EQ(bad.step(nodes.sub(1, 4)).error(), BadNodeId{NodeId(1)});
  EXPECT_EQ(std::tuple(bad.watermark(), bad.total_work()), std::tuple(1u, 0u));
  EXPECT_EQ(bad.finalize(ids(0, 1, 3), engine(), false).error(), BadNodeId{NodeId(1)});  // the watermark itself
}

// Ops (some with a param) and their commuted repeats, identities over one,
// no or two inputs, opaque nodes, stages of ops no fused stage holds, and
// externals with colliding tokens.
std::unique_ptr<GraphStore> random_store(std::mt19937& rng, int size) {
  auto store = store_of({src("s0"), src("s1"), src("s2")});
  const PayloadDescriptor d[] = {{"k", "a|b", "c", "v", "io", std::nullopt}, {"k", "a", "b|c", "v", "io", std::nullopt},
                                 {"k", "a|b", "c", "v", "io", "-"}};
  const char* names[] = {"add", "mul", "maximum", "sub", "neg", "exp"};
  std::vector<NodeKey> binary = {op("add", ids(0, 1))};
  for (int i = 0; i < size; ++i) {
    auto pick = [&, n = store->node_count()] { return NodeId(rng() % n); };
    const NodeKey& b = binary[rng() % binary.size()];
    const Inputs in = rng() % 8 ? Inputs{pick()} : rng() % 2 ? Inputs{} : Inputs{pick(), pick()};
    const ParamMap k = rng() % 4 ? ParamMap() : ParamMap({{"k", ParamValue::Int(1)}});
    const NodeKey keys[] = {NodeKey::Op(names[rng() % 6], {pick(), pick()}, k), op(names[rng() % 6], Inputs{pick()}),
                            b.with_inputs({b.inputs()[1], b.inputs()[0]}), identity(rng() % 4, in),
                            rng() % 2 ? NodeKey::Reduction("sum", Inputs{pick()}) : NodeKey::Join({pick(), pick()}),
                            NodeKey::External(d[rng() % 3], Inputs{pick()}),
                            stage(Inputs{pick()}, {{rng() % 2 ? "op|sin" : "op|cos", {In(0)}}})};
    const int kinds[] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 3, 4, 5, 6, 6, 1};
    const NodeKey& key = keys[kinds[rng() % 16]];
    if (key.is_op() && key.inputs().size() == 2) binary.push_back(key);
    EXPECT_TRUE(store->intern(key).ok());
  }
  return store;
}

// A reduced random store with more recorded into it: ops over its nodes, and
// a stage's members again as ops (so a fused stage can equal a carried one),
// then alike nodes over the stage and over its copy, which can meet in turn.
std::unique_ptr<GraphStore> recorded_over_reduced(std::mt19937& rng, int size) {
  auto first = random_store(rng, size);
  const uint64_t n0 = first->node_count();
  std::unique_ptr<GraphStore> store =
      std::move(reduce_with_outputs(*first, ids(n0 - 1, rng() % n0, rng() % n0), engine(), rng() % 2).value().store);
  for (int extra = rng() % 6; extra >= 0; --extra) {
    const std::vector<NodeKey> nodes = store->snapshot().nodes.keys();
    auto pick = [&] { return NodeId(rng() % nodes.size()); };
    const NodeId at = pick();
    const NodeKey& target = nodes[at.value()];
    if (target.kind() != NodeKey::Kind::kStage) {
      EXPECT_TRUE(store->intern(rng() % 3 ? op(rng() % 2 ? "neg" : "add", {pick(), pick()}) : identity(rng() % 4, Inputs{pick()})).ok());
      continue;
    }
    Inputs members;
    for (const StageOp& m : target.as<StageNode>().members) {
      Inputs in;
      for (StageRef r : m.inputs) in.push_back(r.kind == StageRef::Kind::kInput ? target.inputs()[r.index] : members[r.index]);
      const auto parsed = parse_op_token(m.op).value();
      members.push_back(store->intern(NodeKey::Op(parsed.name, in, parsed.params)).value());
    }
    for (NodeId read : {at, members.back()}) {
      for (const NodeKey& reader : {op("exp", {read}), NodeKey::Reduction("sum", {read})}) {
        if (rng() % 2) {
          EXPECT_TRUE(store->intern(reader).ok());
        }
      }
    }
  }
  return store;
}

// The rewrite engine's answer and a copy of it after it, with every input node
// but the first of a class standing for the copy: structural duplicates, most
// only once their children are merged, for the pipeline's own elimination.
class DuplicatingEngine final : public RewriteEngine {
 public:
  [[nodiscard]] Canonical canonicalize(const EngineGraph& graph) const override {
    Canonical c = engine().canonicalize(graph);
    const size_t m = c.graph.nodes.size();
    for (size_t k = 0; k < m; ++k) {
      c.graph.nodes.push_back(c.graph.nodes[k]);
      for (uint64_t& child : c.graph.nodes.back().children) child += m;
    }
    std::vector<char> seen(m);
    for (uint64_t& k : c.canonical_index) k += std::exchange(seen[k], 1) ? m : 0;
    for (size_t o = 0; o < graph.outputs.size(); ++o) c.graph.outputs[o] = c.canonical_index[graph.outputs[o]];
    return c;
  }
};

// Two chains over 20 sources (in opposite orders), each op reading the one
// before it and a source, then one of the first sixteen sources again and one
// after them: two stages of 20 inputs, past the slot scan.
TEST(Reduce, StagesWithMoreInputsThanTheSlotScanHolds) {
  std::vector<NodeKey> want;
  for (int k = 0; k < 20; ++k) want.push_back(src("s" + std::to_string(k)));
  auto store = store_of(want);
  std::vector<NodeId> outputs;
  for (const std::string name : {"f", "g"}) {
    auto source = [&](uint64_t k) { return NodeId(name == "f" ? k : 19 - k); };  // the one in slot k
    Inputs inputs;
    std::vector<StageOp> members;
    for (uint64_t j = 0; j < 22; ++j) {
      const uint64_t slot = j < 20 ? j : j == 20 ? 3 : 18;
      if (j < 20) inputs.push_back(source(j));
      const Inputs in = j == 0 ? Inputs{source(0)} : Inputs{NodeId(store->node_count() - 1), source(slot)};
      members.push_back({"op|" + name, j == 0 ? std::vector{In(0)} : std::vector{Mem(j - 1), In(slot)}});
      ASSERT_TRUE(store->intern(op(name, in)).ok());
    }
    want.push_back(stage(inputs, members));
    outputs.push_back(NodeId(store->node_count() - 1));
  }
  for (bool maximal : {false, true}) {
    const ReducedStore r = reduce(*store, outputs, maximal);
    EXPECT_TRUE(r.store->snapshot().nodes == want);
    for (uint64_t j = 0; j < 44; ++j) EXPECT_EQ(r.store->node_map()[20 + j], (Placement{NodeId(20 + j / 22), j % 22})) << j;
  }
}

// Keys that hold one text more than once (a name that is also a param's name
// or value, descriptor fields alike, member tokens alike, more than eight new
// texts at once), met again over an input the reducer maps to the same node,
// take the canonical id they took first.
TEST(IncrementalReducer, KeysWithARepeatedText) {
  std::vector<Param> many;
  for (int i = 0; i < 10; ++i) many.emplace_back("t" + std::to_string(i), ParamValue::Str(i % 2 ? "t1" : "u"));
  const StageOp m{"op|m", {In(0)}}, n{"op|n", {Mem(0)}};
  const PayloadDescriptor x{"x", "x", "x", "x", "x", "x"};
  for (const NodeKey& key : {NodeKey::Op("n", ids(0), ParamMap({{"n", ParamValue::Str("n")}})), stage(ids(0), {m, n, m}),
                             NodeKey::Op("t1", ids(0), ParamMap(many)), NodeKey::External(x, ids(0))}) {
    IncrementalReducer r;
    ASSERT_TRUE(r.step(store_of({src("s"), identity(0, ids(0)), key, key.with_inputs(ids(1))})->snapshot().nodes).ok());
    EXPECT_EQ(r.canonical_of(), ids(0, 0, 1, 1)) << key.token();
  }
}

// Random stores, and reduced ones with more recorded into them, all nodes
// live (outputs: the sinks, some others, repeats). Each op lands as a stage
// member of its token, each identity where its operand does, any other node
// (a carried stage too) as itself over where its inputs landed, and
// stages in the order of their last member. Reducing again changes nothing;
// one step and many give one form, whose finalize gives what reduce gives.
TEST(ReduceProperty, EveryNodeLandsRightAndFinalizeMatchesReduce) {
  std::mt19937 rng(2024);
  std::set<std::string> identities;
  for (int which = 0; which < 4; ++which) identities.insert(identity(which, {}).token());
  for (int round = 0; round < 1000; ++round) {
    // Mostly reductions of reduced stores that more was recorded into.
    auto store = round % 8 ? recorded_over_reduced(rng, 3 + round % 12) : random_store(rng, 10 + round % 60);
    const std::vector<NodeKey> nodes = store->snapshot().nodes.keys();
    const uint64_t n = nodes.size();
    std::vector<bool> used(n);
    for (const NodeKey& key : nodes) {
      for (NodeId i : key.inputs()) used[i.value()] = true;
    }
    std::vector<NodeId> outputs = ids(rng() % n, rng() % n);
    for (uint64_t i = 0; i < n; ++i) {
      if (!used[i]) outputs.push_back(NodeId(i));
    }
    std::shuffle(outputs.begin(), outputs.end(), rng);
    IncrementalReducer whole, pieces;
    ASSERT_EQ(whole.step(store->snapshot().nodes).value(), n);
    for (uint64_t at = 0; at < n;) {
      const uint64_t len = std::min<uint64_t>(rng() % 4, n - at);
      ASSERT_EQ(pieces.step(store->snapshot().nodes.sub(at, at + len)).value(), len);
      at += len;
    }
    EXPECT_TRUE(whole.canonical_form() == pieces.canonical_form());
    EXPECT_EQ(whole.canonical_of(), pieces.canonical_of());
    EXPECT_EQ(pieces.total_work(), n);
    EXPECT_EQ(pieces.watermark(), n);
    for (bool maximal : {false, true}) {
      SCOPED_TRACE(testing::Message() << "round " << round << (maximal ? " maximal" : ""));
      const ReducedStore direct = reduce(*store, outputs, maximal);
      const std::vector<NodeKey> reduced = direct.store->snapshot().nodes.keys();
      const NodeMap map = direct.store->node_map();
      const ReductionReport& report = direct.report;
      // The same through an engine that leaves duplicates. The reduced store
      // finds each of its nodes again, and adds a new one after them.
      const ReducedStore dup = reduce_with_outputs(*store, outputs, DuplicatingEngine(), maximal).value();
      EXPECT_TRUE(dup.store->snapshot().nodes == reduced && dup.store->node_map() == map && dup.report == report);
      for (uint64_t i = 0; i < reduced.size(); ++i) EXPECT_EQ(direct.store->intern(reduced[i]).value(), NodeId(i));
      EXPECT_EQ(direct.store->intern(op("more", ids(reduced.size() - 1))).value(), NodeId(reduced.size()));
      // Counted over the fused list: a carried stage that met a fused one is one node.
      EXPECT_EQ(report.reduced_nodes, report.stages + report.boundary_nodes);
      EXPECT_LE(reduced.size(), report.reduced_nodes);
      std::map<std::pair<NodeId, uint64_t>, uint64_t> first_at;  // (node, member) -> first store id
      std::vector<uint64_t> last_member(reduced.size(), 0);
      for (uint64_t s = 0; s < n; ++s) {
        const NodeKey& key = nodes[s];
        ASSERT_TRUE(map[s].has_value()) << s;
        const Placement p = *map[s];
        if (key.inputs().size() == 1 && identities.contains(key.token())) {
          EXPECT_EQ(map[s], map[key.inputs()[0].value()]) << s;
        } else if (key.is_op()) {
          ASSERT_TRUE(p.member.has_value()) << s;
          const auto& members = reduced[p.node.value()].as<StageNode>().members;
          ASSERT_LT(*p.member, members.size());
          EXPECT_EQ(members[*p.member].op, key.token()) << s;
        } else {
          EXPECT_FALSE(p.member.has_value()) << s;
          Inputs landed;
          for (NodeId i : key.inputs()) landed.push_back(map[i.value()]->node);
          EXPECT_EQ(reduced[p.node.value()], key.with_inputs(landed)) << s;
        }
        const uint64_t first = first_at.try_emplace({p.node, p.member.value_or(0)}, s).first->second;
        last_member[p.node.value()] = std::max(last_member[p.node.value()], first);
      }
      // (Stages that met are placed by the first of them, whose members may come later.)
      for (size_t r = 1; r < reduced.size() && reduced.size() == report.reduced_nodes; ++r) {
        EXPECT_LT(last_member[r - 1], last_member[r]) << r;
      }
      EXPECT_TRUE(reduce_with(*direct.store, engine(), maximal).store->snapshot().nodes == reduced);
      const Reduced inc = pieces.finalize(outputs, engine(), maximal).value();
      EXPECT_TRUE(inc.nodes == reduced);
      EXPECT_EQ(inc.node_map, map);
      std::vector<NodeId> marks;
      for (NodeId o : inc.outputs) {
        if (std::find(marks.begin(), marks.end(), o) == marks.end()) marks.push_back(o);
      }
      EXPECT_EQ(marks, direct.store->outputs());
      EXPECT_EQ(inc.report.canonical_nodes, report.canonical_nodes);
      EXPECT_EQ(inc.report.stages, report.stages);
      EXPECT_EQ(inc.report.boundary_nodes, report.boundary_nodes);
    }
  }
}

// Everything a reducer cell holds and, once finished, what finalize gave.
struct Finished {
  std::vector<NodeKey> canonical_form;
  std::vector<NodeId> canonical_of;
  uint64_t total_work = 0;
  uint64_t watermark = 0;
  std::vector<NodeKey> reduced;
  std::vector<NodeId> marks;
  NodeMap node_map;
  ReductionReport report;
  friend bool operator==(const Finished&, const Finished&) = default;
};

Finished held(const IncrementalReducer& r) {
  return {r.canonical_form().keys(), r.canonical_of(), r.total_work(), r.watermark(), {}, {}, {}, {}};
}

// Whichever allocation of a step or of a finalize fails, the cell is not
// poisoned, holds exactly what an unfailed reducer holds after as many nodes
// (their work counted), still refuses another store, and going on gives what
// a run without the failure gives. A panic (a poisoned store met while
// taking the delta) poisons it for good.
TEST(ReducerCell, FailedAllocationsLeaveItUsableAndPanicsPoisonIt) {
  std::mt19937 rng(7);
  for (int round = 0; round < 4; ++round) {
    const std::unique_ptr<GraphStore> whole = random_store(rng, 30 + 10 * round);
    const NodesView nodes = whole->snapshot().nodes;
    const std::vector<NodeId> outputs = ids(nodes.size() - 1, rng() % nodes.size(), nodes.size() - 1);
    const bool maximal = round % 2;
    // A store that holds all, and a cell that has consumed the first
    // `consumed` of its nodes.
    auto fed = [&](uint64_t consumed) {
      auto store = std::make_shared<GraphStore>();
      auto cell = std::make_unique<ReducerCell>();
      for (uint64_t i = 0; i < nodes.size(); ++i) {
        if (i == consumed) {
          EXPECT_TRUE(cell->step(store).ok());
        }
        EXPECT_TRUE(store->intern(nodes[i].to_key()).ok());
      }
      return std::pair(store, std::move(cell));
    };
    auto finish = [&](ReducerCell& cell, const std::shared_ptr<GraphStore>& store) {
      EXPECT_TRUE(cell.step(store).ok());
      Finished f = cell.read(held);
      const ReducedStore r = cell.finalize(store, outputs, engine(), maximal).value();
      f.reduced = r.store->snapshot().nodes.keys();
      f.marks = r.store->outputs();
      f.node_map = r.store->node_map();
      f.report = r.report;
      return f;
    };
    auto [s, c] = fed(0);
    const Finished expected = finish(*c, s);
    // The step is the cell's first; finalize meets a half-fed one.
    for (bool in_finalize : {false, true}) {
      for (long k = 1;; ++k) {
        SCOPED_TRACE(testing::Message() << "round " << round << (in_finalize ? " finalize" : " step")
                                        << " allocation " << k);
        auto [store, cell] = fed(in_finalize ? nodes.size() / 2 : 0);
        bool failed = false;
        harness::fail_after = k;
        try {
          if (in_finalize) {
            (void)cell->finalize(store, outputs, engine(), maximal);
          } else {
            (void)cell->step(store);
          }
        } catch (const std::bad_alloc&) {
          failed = true;
        }
        const bool exhausted = harness::fail_after > 0;
        harness::fail_after = 0;
        if (failed) {
          const Finished now = cell->read(held);
          IncrementalReducer unfailed;
          ASSERT_TRUE(unfailed.step(nodes.sub(0, now.watermark)).ok());
          EXPECT_EQ(now, held(unfailed));
          const auto other = cell->step(std::make_shared<GraphStore>());  // empty: consumes nothing
          EXPECT_EQ(other.ok(), now.watermark == 0);
          if (!other.ok()) {
            EXPECT_EQ(other.error(), FeedError(OtherStore{}));
          }
        }
        EXPECT_EQ(finish(*cell, store), expected);
        if (exhausted) break;  // the call ran out of allocations to fail
      }
    }
  }

  auto poisoned = std::make_shared<GraphStore>();
  ASSERT_TRUE(poisoned->intern(src("x")).ok());
  EXPECT_THROW(StoreForTest::with_lock(*poisoned, [] { panic("broken invariant"); }), Panic);
  const auto healthy = std::make_shared<GraphStore>();
  for (bool in_finalize : {false, true}) {
    ReducerCell cell;
    auto panics = [](const std::function<void()>& call, std::string_view message) {
      try {
        call();
        ADD_FAILURE() << "no panic";
      } catch (const Panic& p) {
        EXPECT_TRUE(std::string_view(p.what()).starts_with(message)) << p.what();
      }
    };
    panics([&] {
      if (in_finalize) {
        (void)cell.finalize(poisoned, {}, engine(), false);
      } else {
        (void)cell.step(poisoned);
      }
    }, kStorePoisoned);
    for (const std::function<void()>& call : std::vector<std::function<void()>>{
             [&] { (void)cell.watermark(); }, [&] { (void)cell.total_work(); },
             [&] { (void)cell.canonical_count(); }, [&] { (void)cell.step(healthy); },
             [&] { (void)cell.finalize(healthy, {}, engine(), false); }}) {
      panics(call, kReducerPoisoned);
    }
  }
}

// Runs `f` under each of two hash keys (no keyed table may live across the
// switch) and returns both answers.
template <typename F>
auto under_two_keys(F&& f) {
  const HashKey saved = HashKey::get();
  HashKeyForTest::set({{0x9E3779B97F4A7C15, 0xBF58476D1CE4E5B9, 0x94D049BB133111EB, 0xD6E8FEB86659FD93}});
  auto a = f();
  HashKeyForTest::set({{0xA0761D6478BD642F, 0xE7037ED1A0B428DB, 0x8EBC6AF09C88C6E3, 0x589965CC75374CC3}});
  auto b = f();
  HashKeyForTest::set(saved);
  return std::pair(std::move(a), std::move(b));
}

// Every keyed hash moves with the key, so no input chosen offline collides
// in every process: texts of each length class, nodes with and without texts
// (Exchange, Join, Stage), templates, marks, small hash-cons keys.
TEST(HashKey, EveryKeyedHashMovesWithTheKey) {
  const auto [a, b] = under_two_keys([] {
    std::vector<std::pair<std::string, uint64_t>> h;
    for (const std::string& t : std::vector<std::string>{"", "a", "abcd", "abcdefgh", std::string(16, 'x'),
                                                        std::string(17, 'x'), std::string(99, 'y')}) {
      h.emplace_back("text " + t, text_hash(t));
    }
    GraphStore store;
    for (const NodeKey& key : {src("s"), NodeKey::Exchange(ids(0)), NodeKey::Exchange(ids(0, 0)), NodeKey::Join(ids(1, 0)),
                               stage(ids(0), {{"op|a", {In(0)}}}), op("f", ids(0)),
                               NodeKey::External({"k", "h", "f", "v", "io", std::nullopt}, ids(0))}) {
      const NodeId id = store.intern(key).value();
      h.emplace_back("node " + key.label(), NodeArena::prepare(key).hash);
      h.emplace_back("template " + key.label(), store.snapshot_from(id)[0].template_hash());
    }
    for (uint64_t id : {0, 1, 1 << 20}) h.emplace_back("mark " + std::to_string(id), hash_word(id));
    for (uint32_t c : {0u, 1u, egraph::SmallMemo::kMissing}) {
      h.emplace_back("e-node " + std::to_string(c), egraph::SmallMemo::hash({7, c, 3}));
    }
    return h;
  });
  for (size_t i = 0; i < a.size(); ++i) EXPECT_NE(a[i].second, b[i].second) << a[i].first;
}

// Nothing observable depends on the key: blobs (and blobs read back and
// written again), reductions by either fusion rule, incremental ones, node
// maps and reports are the same, byte for byte, under two keys.
TEST(HashKey, ResultsAreTheSameUnderAnyKey) {
  const auto [a, b] = under_two_keys([]() -> std::string {
    std::mt19937 rng(99);
    std::string out;
    auto put = [&out](const auto& values) {
      for (uint64_t v : values) out += std::to_string(v) + ',';
      out += '\n';
    };
    auto put_store = [&](const GraphStore& s) {
      const std::vector<uint8_t> blob = serialize_with(s, s.outputs()).value().bytes();
      out.append(blob.begin(), blob.end());
      for (const auto& p : s.node_map()) put(p ? std::vector<uint64_t>{p->node.value(), p->member.value_or(~0ULL)} : std::vector<uint64_t>{});
    };
    for (int round = 0; round < 40; ++round) {
      const std::unique_ptr<GraphStore> store = random_store(rng, 20 + 6 * round);
      const uint64_t n = store->node_count();
      const std::vector<NodeId> outputs = ids(n - 1, rng() % n, n / 2);
      for (NodeId o : outputs) EXPECT_TRUE(store->mark_output(o).ok());
      put_store(*deserialize(serialize_with(*store, outputs).value().bytes()).value());
      for (bool maximal : {false, true}) {
        const ReducedStore r = reduce(*store, outputs, maximal);
        put_store(*r.store);
        put(std::vector<uint64_t>{r.report.input_nodes, r.report.reachable_nodes, r.report.canonical_nodes,
                                  r.report.stages, r.report.reduced_nodes, r.report.boundary_nodes});
        IncrementalReducer inc;
        EXPECT_TRUE(inc.step(store->snapshot().nodes).ok());
        for (NodeId c : inc.canonical_of()) out += std::to_string(c.value()) + ',';
        out += '\n';
        put_store(*from_reduced(inc.finalize(outputs, engine(), maximal).value()).store);
      }
    }
    return out;
  });
  EXPECT_TRUE(a == b) << "the first difference at byte " << std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin();
}

}  // namespace
}  // namespace velmora
