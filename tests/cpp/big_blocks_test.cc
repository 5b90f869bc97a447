// BigBlocks: which freed block a take reuses (size, bounds, age, thread), a
// failed map, and a store built on a dropped store's blocks.
#include "base/big_blocks.h"

#include <sys/mman.h>

#include <new>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "store/store.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace velmora {

class BigBlocksPeer {
 public:
  static BigBlocks::Cached cached() { return BigBlocks::cached(); }
  static void set_clock(uint64_t (*now_ns)()) { BigBlocks::set_clock(now_ns); }
  static void fail_maps(int n) { BigBlocks::fail_maps(n); }
};

namespace {

using Peer = BigBlocksPeer;
constexpr std::size_t MiB = std::size_t{1} << 20;
uint64_t fake_ns = 0;  // read on the test's own thread only
uint64_t fake_now() { return fake_ns; }

// Ages out every cached block; the take and give in between cache nothing.
void empty_cache() {
  fake_ns += 2 * BigBlocks::kCacheAgeNs;
  BigBlocks::give(BigBlocks::take(BigBlocks::kCacheBytes + MiB), BigBlocks::kCacheBytes + MiB);
  ASSERT_EQ(Peer::cached().blocks, 0u);
}

// Blocks of `given` sizes are freed in order, time passes, and one block is
// taken: it is the given block `reused`, or a new map (-1), and the cache
// holds what is left.
TEST(BigBlocks, ReusesCachedBlocksWithinSizeBoundsAndAge) {
  struct Row {
    const char* what;
    std::vector<std::size_t> given;
    uint64_t wait_ns;
    std::size_t take;
    int reused;
    std::size_t blocks_after, bytes_after;
  };
  const uint64_t age = BigBlocks::kCacheAgeNs;
  const std::size_t half = BigBlocks::kCacheBytes / 2;
  const std::vector<Row> rows = {
      {"same size", {4 * MiB}, 0, 4 * MiB, 0, 0, 0},
      {"same size once rounded", {3 * MiB}, 0, 4 * MiB, 0, 0, 0},
      {"up to twice as large, its rest kept", {8 * MiB}, 0, 3 * MiB, 0, 1, 4 * MiB},
      {"the smallest that fits", {8 * MiB, 4 * MiB, 6 * MiB}, 0, 4 * MiB, 1, 2, 14 * MiB},
      {"too small", {2 * MiB}, 0, 3 * MiB, -1, 1, 2 * MiB},
      {"more than twice as large", {10 * MiB}, 0, 4 * MiB, -1, 1, 10 * MiB},
      {"within the age", {4 * MiB}, age, 4 * MiB, 0, 0, 0},
      {"past the age", {4 * MiB}, age + 1, 4 * MiB, -1, 0, 0},
      {"the byte bound drops the oldest", {half + 2 * MiB, half}, 0, half + 2 * MiB, -1, 1, half},
      {"past the byte bound", {2 * half + 2 * MiB}, 0, 2 * half + 2 * MiB, -1, 0, 0},
      {"the count bound drops the oldest", std::vector<std::size_t>(BigBlocks::kCacheBlocks + 1, 2 * MiB), 0,
       2 * MiB, 1, BigBlocks::kCacheBlocks - 1, 2 * MiB * (BigBlocks::kCacheBlocks - 1)},
  };
  Peer::set_clock(fake_now);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    empty_cache();
    std::vector<void*> given;
    for (std::size_t bytes : r.given) given.push_back(BigBlocks::take(bytes));
    for (std::size_t i = 0; i < given.size(); ++i) BigBlocks::give(given[i], r.given[i]);
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(__asan_address_is_poisoned(given.back()), r.given.back() <= BigBlocks::kCacheBytes);
#endif
    fake_ns += r.wait_ns;
    const std::size_t maps = Peer::cached().maps;
    void* p = BigBlocks::take(r.take);
    EXPECT_EQ(Peer::cached().maps - maps, r.reused < 0 ? 1u : 0u);
    EXPECT_EQ(p, r.reused < 0 ? p : given[r.reused]);
    EXPECT_EQ(Peer::cached().blocks, r.blocks_after);
    EXPECT_EQ(Peer::cached().bytes, r.bytes_after);
    static_cast<char*>(p)[r.take - 1] = 1;  // all of it is ours
    BigBlocks::give(p, r.take);
  }

  // A failed map empties the cache and is tried once more.
  empty_cache();
  BigBlocks::give(BigBlocks::take(4 * MiB), 4 * MiB);
  Peer::fail_maps(1);
  void* p = BigBlocks::take(16 * MiB);
  EXPECT_EQ(Peer::cached().blocks, 0u);
  Peer::fail_maps(2);
  EXPECT_THROW((void)BigBlocks::take(16 * MiB), std::bad_alloc);
  BigBlocks::give(p, 16 * MiB);
  Peer::set_clock(nullptr);
}

// A thread takes only what it gave, and unmaps it when it ends.
TEST(BigBlocks, ThreadsKeepTheirOwnBlocks) {
  void* mine = BigBlocks::take(4 * MiB);
  BigBlocks::give(mine, 4 * MiB);
  void* theirs = nullptr;
  std::thread([&] {
    theirs = BigBlocks::take(4 * MiB);
    BigBlocks::give(theirs, 4 * MiB);
    EXPECT_EQ(BigBlocks::take(4 * MiB), theirs);
    BigBlocks::give(theirs, 4 * MiB);
  }).join();
  EXPECT_NE(theirs, mine);
  EXPECT_NE(msync(theirs, 4096, MS_ASYNC), 0);  // no longer mapped
  EXPECT_EQ(BigBlocks::take(4 * MiB), mine);
  BigBlocks::give(mine, 4 * MiB);
}

// A growing store keeps none of its index's outgrown tables. A store built on
// the blocks of a dropped one (its records, texts, words and index slots still
// in them) finds only its own keys: the same keys in the other order get the
// new store's ids.
TEST(BigBlocks, StoreOnReusedBlocksInternsAsAFreshOne) {
  Peer::set_clock(fake_now);
  empty_cache();
  const uint32_t n = 100'000;
  auto key = [](uint32_t i) {
    return NodeKey::Op("f" + std::to_string(i % 7), {NodeId(i % 3)}, ParamMap({{"v", ParamValue::Int(i)}}));
  };
  {
    GraphStore old;
    for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(old.intern(NodeKey::Source("s" + std::to_string(i))));
    for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(old.intern(key(i)).value(), NodeId(3 + i));
    EXPECT_EQ(Peer::cached().blocks, 0u);
  }
  ASSERT_GT(Peer::cached().blocks, 2u);
  GraphStore s;
  for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(s.intern(NodeKey::Source("s" + std::to_string(i))));
  for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(s.intern(key(n - 1 - i)).value(), NodeId(3 + i)) << i;
  for (uint32_t i = 0; i < n; i += 331) EXPECT_EQ(s.intern(key(i)).value(), NodeId(3 + n - 1 - i));
  EXPECT_EQ(s.node_count(), 3u + n);
  Peer::set_clock(nullptr);
}

}  // namespace
}  // namespace velmora
