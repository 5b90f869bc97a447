#include "base/small_vector.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <random>
#include <utility>
#include <vector>

#include "alloc_harness.h"

namespace velmora {
namespace {

using harness::fail_after;

// One random edit, applied alike to either vector.
template <typename C>
void edit(C& c, uint32_t op, uint32_t x) {
  const uint32_t more[] = {x, x + 1, x + 2};
  switch (op) {
    case 0:
    case 1:
      c.push_back(x);
      break;
    case 2:
      if (!c.empty()) c.push_back(c[x % c.size()]);  // an element of its own, across growth
      break;
    case 3:
      c.resize(x % 12);
      break;
    case 4:
      c.insert(c.begin() + static_cast<std::ptrdiff_t>(x % (c.size() + 1)), more, more + 1 + x % 3);
      break;
    case 5:
      c.reserve(x % 16);
      break;
    default:
      c.clear();
  }
}

// Random edits, across the boundary between the in-place room and the heap,
// keep the vector equal to a std::vector given the same edits; so do its
// copies and moves, and an edit whose allocation fails changes nothing.
TEST(SmallVector, FollowsStdVectorThroughRandomEditsAndFailedGrowth) {
  using V = SmallVector<uint32_t, 4>;
  auto same = [](const V& v, const std::vector<uint32_t>& w) {
    return v.size() == w.size() && v.capacity() >= v.size() && std::vector<uint32_t>(v.begin(), v.end()) == w;
  };
  for (uint32_t seed = 0; seed < 3000; ++seed) {
    std::mt19937 rng(seed);
    V v;
    std::vector<uint32_t> w;
    const int steps = 1 + static_cast<int>(rng() % 40);
    for (int step = 0; step < steps; ++step) {
      const uint32_t op = rng() % 8;
      const uint32_t x = rng();
      if (op == 7) {
        V moved(std::move(v));
        ASSERT_TRUE(same(moved, w) && v.empty()) << seed;
        V copied;
        copied = moved;
        v = std::move(copied);
        ASSERT_TRUE(same(moved, w) && copied.empty()) << seed;
      } else {
        const std::vector<uint32_t> before(v.begin(), v.end());
        const std::size_t room = v.capacity();
        fail_after = rng() % 6 == 0 ? 1 : 0;
        try {
          edit(v, op, x);
          fail_after = 0;
          edit(w, op, x);
        } catch (const std::bad_alloc&) {
          fail_after = 0;
          ASSERT_TRUE(same(v, before) && v.capacity() == room) << seed << " " << step;
        }
      }
      ASSERT_TRUE(same(v, w)) << seed << " " << step;
      ASSERT_TRUE(w.empty() || v.back() == w.back());
    }
  }
}

}  // namespace
}  // namespace velmora
