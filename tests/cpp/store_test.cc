#include <bit>
#include <cstdlib>
#include <new>

#include "gtest/gtest.h"
#include "store/store.h"

// Allocation failures on demand: the n-th allocation from now on this thread
// fails (0 = never). Replacing the global operator new reaches every
// container of the store, including the hash tables; its plain and nothrow
// forms and their deletes are replaced together so that every allocation
// they make is freed by the same allocator (which sanitizers check).
namespace {
thread_local long fail_after = 0;
}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  if (fail_after > 0 && --fail_after == 0) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  if (fail_after > 0 && --fail_after == 0) return nullptr;
  return std::malloc(n == 0 ? 1 : n);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace velmora {
namespace {

NodeId must(Result<NodeId, BadNodeId> r) { return r.value(); }

TEST(GraphStore, InternsAndValidatesBeforeLookup) {
  GraphStore s;
  EXPECT_EQ(s.node_count(), 0u);
  EXPECT_TRUE(s.outputs().empty());
  EXPECT_TRUE(s.node_map().empty());
  NodeId x = must(s.intern(NodeKey::Source("x")));
  NodeId y = must(s.intern(NodeKey::Source("y")));
  NodeId a = must(s.intern(NodeKey::Op("add", {x, y})));
  EXPECT_EQ(must(s.intern(NodeKey::Op("add", {x, y}))), a);
  EXPECT_NE(must(s.intern(NodeKey::Op("add", {y, x}))), a);
  must(s.intern(NodeKey::Exchange({})));  // an empty input list needs no earlier node
  ASSERT_EQ(s.node_count(), 5u);

  auto bad = s.intern(NodeKey::Op("f", {0, 7, 9}));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().id, 7u);
  auto self = s.intern(NodeKey::Op("f", {5}));
  ASSERT_FALSE(self.ok());
  EXPECT_EQ(self.error().id, 5u);
  // A stage is checked on its own inputs, not on its member references.
  EXPECT_TRUE(s.intern(NodeKey::Stage({0}, {{"op|a", {StageRef::Input(0)}}})).ok());
  EXPECT_EQ(s.node_count(), 6u);
}

// The index keeps each key's hash; lookups must still find every key after
// the table has grown many times, with or without room reserved up front.
TEST(GraphStore, FindsEveryKeyAcrossIndexGrowth) {
  for (bool reserved : {false, true}) {
    GraphStore s;
    if (reserved) s.reserve(3000);
    const NodeId x = must(s.intern(NodeKey::Source("x")));
    std::vector<NodeId> ids;
    for (int i = 0; i < 3000; ++i) {
      ids.push_back(must(s.intern(
          NodeKey::Op("mul", {x}, ParamMap({{"scalar", ParamValue::Int(i)}})))));
    }
    for (int i = 0; i < 3000; ++i) {
      EXPECT_EQ(must(s.intern(NodeKey::Op("mul", {x}, ParamMap({{"scalar", ParamValue::Int(i)}})))),
                ids[i]);
    }
    // Keys equal under NaN folding land on one id.
    auto nan_key = [x](uint64_t payload) {
      const double v = std::bit_cast<double>(0x7FF0000000000000ULL | payload);
      return NodeKey::Op("mul", {x}, ParamMap({{"scalar", ParamValue::Float(v)}}));
    };
    EXPECT_EQ(must(s.intern(nan_key(1))), must(s.intern(nan_key(0x5555))));
    EXPECT_EQ(s.node_count(), 3002u);
  }
}

TEST(GraphStore, MarksAndSnapshots) {
  GraphStore s;
  for (int i = 0; i < 4; ++i) must(s.intern(NodeKey::Source(std::to_string(i))));
  EXPECT_TRUE(s.mark_output(3).ok());
  EXPECT_TRUE(s.mark_output(1).ok());
  EXPECT_TRUE(s.mark_output(3).ok());
  EXPECT_EQ(s.outputs(), (std::vector<NodeId>{3, 1}));
  auto bad = s.mark_output(4);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().id, 4u);
  EXPECT_EQ(s.outputs().size(), 2u);

  Snapshot snap = s.snapshot();
  EXPECT_EQ(snap.nodes.size(), 4u);
  EXPECT_EQ(snap.outputs, (std::vector<NodeId>{3, 1}));
  EXPECT_EQ(s.snapshot_from(0).size(), 4u);
  EXPECT_EQ(s.snapshot_from(3).size(), 1u);
  EXPECT_EQ(s.snapshot_from(3)[0], NodeKey::Source("3"));
  EXPECT_TRUE(s.snapshot_from(4).empty());
  EXPECT_TRUE(s.snapshot_from(~0ULL).empty());
}

TEST(GraphStore, PanicInLockedSectionPoisonsOnlyThatStore) {
  GraphStore poisoned, other;
  must(other.intern(NodeKey::Source("x")));
  EXPECT_THROW(poisoned.with_lock_for_test([] { panic("boom"); }), Panic);
  try {
    (void)poisoned.node_count();
    FAIL() << "a poisoned store must refuse";
  } catch (const Panic& p) {
    EXPECT_EQ(std::string(p.what()).rfind(kStorePoisoned, 0), 0u) << p.what();
  }
  EXPECT_THROW((void)poisoned.intern(NodeKey::Source("y")), Panic);
  EXPECT_EQ(other.node_count(), 1u);
}

// Whichever allocation fails, intern either completes or leaves the store as
// it was, reads never poison, and the store stays usable.
TEST(GraphStore, FailedAllocationsLeaveTheStoreUsable) {
  PayloadDescriptor d{"k", "h", "f", "v", "io", "pre"};
  const std::vector<NodeKey> keys = {
      NodeKey::Source("fresh"),
      NodeKey::Op("new-name", {0, 1}, ParamMap({{"p", ParamValue::Str("new-text")}})),
      NodeKey::External(d, {1}, ParamMap({{"q", ParamValue::Float(2.5)}})),
      NodeKey::Stage({0}, {{"op|fresh", {StageRef::Input(0)}}})};
  for (const NodeKey& key : keys) {
    for (long k = 1;; ++k) {
      GraphStore s;
      must(s.intern(NodeKey::Source("x")));
      must(s.intern(NodeKey::Op("f", {0}, ParamMap({{"p", ParamValue::Int(1)}}))));
      ASSERT_TRUE(s.mark_output(1).ok());
      const std::vector<NodeKey> before = s.snapshot().nodes.keys();
      fail_after = k;
      bool failed = false;
      try {
        (void)s.intern(key);
      } catch (const std::bad_alloc&) {
        failed = true;
      }
      const bool exhausted = fail_after > 0;
      fail_after = 0;
      if (failed) {
        EXPECT_EQ(s.snapshot().nodes.keys(), before) << "allocation " << k;
      }
      fail_after = 1;
      EXPECT_THROW((void)s.outputs(), std::bad_alloc);
      fail_after = 0;
      EXPECT_EQ(must(s.intern(key)), 2u);
      EXPECT_EQ(s.snapshot().nodes[2], key);
      if (exhausted) break;  // the intern ran out of allocations to fail
    }
  }
}

TEST(Dot, EmptyAndWorkedExample) {
  GraphStore empty;
  EXPECT_EQ(empty.to_dot(), "digraph velmora {\n}\n");
  GraphStore s;
  must(s.intern(NodeKey::Source("x")));
  must(s.intern(NodeKey::Op("neg", {0})));
  ASSERT_TRUE(s.mark_output(1).ok());
  ASSERT_TRUE(s.mark_output(1).ok());
  EXPECT_EQ(s.to_dot(),
            "digraph velmora {\n"
            "  n0 [label=\"Source x\"];\n"
            "  n1 [label=\"Op neg\", shape=doublecircle];\n"
            "  n0 -> n1;\n"
            "}\n");
}

TEST(Dot, EscapingRepeatedEdgesAndStages) {
  GraphStore s;
  must(s.intern(NodeKey::Source("a\"b\\c\nd")));
  must(s.intern(NodeKey::Source("y", ParamMap({{"t", ParamValue::Str("q\"")}}))));
  must(s.intern(NodeKey::Op("mul", {0, 0})));
  must(s.intern(NodeKey::Stage({2, 1}, {{"op|a", {StageRef::Input(0)}},
                                        {"op|b", {StageRef::Member(0), StageRef::Input(1)}},
                                        {"op|c", {StageRef::Member(1)}}})));
  EXPECT_EQ(s.to_dot(),
            "digraph velmora {\n"
            "  n0 [label=\"Source a\\\"b\\\\c\nd\"];\n"
            "  n1 [label=\"Source y {t=\\\"q\\\\\\\"\\\"}\"];\n"
            "  n2 [label=\"Op mul\"];\n"
            "  n3 [label=\"Stage[3 members]\"];\n"
            "  n0 -> n2;\n"
            "  n0 -> n2;\n"
            "  n2 -> n3;\n"
            "  n1 -> n3;\n"
            "}\n");
}

TEST(GraphStore, BadNodeIdDebugForm) {
  EXPECT_EQ(testing::PrintToString(BadNodeId{7}), "BadNodeId(7)");
}

}  // namespace
}  // namespace velmora
