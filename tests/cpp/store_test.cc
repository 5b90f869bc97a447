// The store: interning with its id checks, marks and snapshots, an index
// that grows, and allocations failing anywhere inside intern.
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

// An id is refused when it is not below the node count: the first offending
// input in input order, a node naming itself, a mark of the count itself.
TEST(GraphStore, InternsMarksAndRefusesIdsFromTheNodeCountOn) {
  GraphStore s;
  EXPECT_TRUE(s.outputs().empty());
  EXPECT_TRUE(s.node_map().empty());
  const NodeId x = must(s.intern(NodeKey::Source("x")));
  const NodeId y = must(s.intern(NodeKey::Source("y")));
  const NodeId a = must(s.intern(NodeKey::Op("add", {x, y})));
  EXPECT_EQ(must(s.intern(NodeKey::Op("add", {x, y}))), a);
  EXPECT_EQ(must(s.intern(NodeKey::Op("add", {y, x}))), 3u);
  EXPECT_EQ(must(s.intern(NodeKey::Exchange({}))), 4u);  // no inputs, no earlier node needed
  EXPECT_EQ(s.intern(NodeKey::Op("f", {0, 7, 9})).error(), BadNodeId{7});
  EXPECT_EQ(s.intern(NodeKey::Op("f", {5})).error(), BadNodeId{5});
  // A stage is checked on its own inputs, not on its member references.
  EXPECT_EQ(must(s.intern(NodeKey::Stage({0}, {{"op|a", {StageRef::Input(3)}}}))), 5u);
  for (NodeId id : {3, 1, 3}) ASSERT_TRUE(s.mark_output(id).ok());
  EXPECT_EQ(s.mark_output(6).error(), BadNodeId{6});
  EXPECT_EQ(s.outputs(), (std::vector<NodeId>{3, 1}));
  EXPECT_EQ(s.snapshot().outputs, (std::vector<NodeId>{3, 1}));
  EXPECT_EQ(s.snapshot().nodes.size(), 6u);
  EXPECT_EQ(s.snapshot_from(5).size(), 1u);
  EXPECT_EQ(s.snapshot_from(5)[0].token(), "stage|1");
  EXPECT_TRUE(s.snapshot_from(6).empty());
  EXPECT_TRUE(s.snapshot_from(~0ULL).empty());
  EXPECT_EQ(testing::PrintToString(BadNodeId{7}), "BadNodeId(7)");
}

// The index keeps each key's hash; lookups must still find every key after
// the table has grown many times.
TEST(GraphStore, FindsEveryKeyAcrossIndexGrowth) {
  GraphStore s;
  const NodeId x = must(s.intern(NodeKey::Source("x")));
  auto key = [x](int i) { return NodeKey::Op("mul", {x}, ParamMap({{"scalar", ParamValue::Int(i)}})); };
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(must(s.intern(key(i))), i + 1u);
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(must(s.intern(key(i))), i + 1u);
  // Keys equal under NaN folding land on one id.
  auto nan = [x](uint64_t payload) {
    const double v = std::bit_cast<double>(0x7FF0000000000000ULL | payload);
    return NodeKey::Op("mul", {x}, ParamMap({{"scalar", ParamValue::Float(v)}}));
  };
  EXPECT_EQ(must(s.intern(nan(1))), must(s.intern(nan(0x8000000005555))));
  EXPECT_EQ(s.node_count(), 3002u);
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

}  // namespace
}  // namespace velmora
