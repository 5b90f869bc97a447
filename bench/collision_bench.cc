// What keys built to collide cost the node index, against ordinary keys.
// The colliding keys are Exchange records without params, the keys whose
// hash holds no text, chosen offline so that under the fixed mixer the
// store once hashed them with, every one's first slot in the index lies in
// the first 1/1024 of the slots, whatever the index's size. With a key
// drawn per process, no choice made offline can do that.
//
// Usage: collision_bench [records] [rounds]   (defaults 40000 and 9)
// Prints, per way in (a blob read, interning one key at a time), the best
// round for the colliding records and for as many ordinary ones over the
// same sources, and their ratio.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "base/panic.h"
#include "node/node.h"
#include "serialize/blob.h"
#include "store/store.h"

namespace {

using velmora::GraphStore;
using velmora::NodeId;
using velmora::NodeKey;

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

// The store's former hash of Exchange(a, b) without params: a fixed mixer
// over the kind, the input count and the inputs.
uint32_t fixed_mixer_hash(uint64_t a, uint64_t b) {
  uint64_t h = 5 + 1;
  for (uint64_t x : {uint64_t{2}, a, b, uint64_t{0}}) {
    h = (h ^ x) * kGolden;
    h ^= h >> 29;
  }
  return static_cast<uint32_t>(h ^ (h >> 32));
}

// The index's first slot for a hash is the top bits of its product with
// kGolden: these land in the first 1/1024 of the slots at any size.
bool in_band(uint32_t hash) { return (uint64_t{hash} * kGolden) >> 54 == 0; }

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Case {
  std::vector<NodeKey> keys;  // the sources, then the Exchange records
  std::vector<uint8_t> blob;
};

Case make_case(uint64_t sources, const std::vector<std::pair<uint64_t, uint64_t>>& pairs) {
  Case c;
  GraphStore store;
  for (uint64_t i = 0; i < sources; ++i) {
    std::string name = "s";  // appended: GCC 12 at -O3 warns falsely on "s" + std::to_string(i)
    name += std::to_string(i);
    c.keys.push_back(NodeKey::Source(std::move(name)));
  }
  for (const auto& [a, b] : pairs) c.keys.push_back(NodeKey::Exchange({NodeId(a), NodeId(b)}));
  for (const NodeKey& key : c.keys) {
    if (!store.intern(key)) velmora::panic("the bench keys must intern");
  }
  if (store.node_count() != c.keys.size()) velmora::panic("the bench keys must be distinct");
  c.blob = velmora::serialize_with(store, {}).value().bytes();
  return c;
}

// Reading the blob, then interning the keys one by one.
std::pair<double, double> times(const Case& c) {
  auto t0 = std::chrono::steady_clock::now();
  auto back = velmora::deserialize(c.blob);
  const double read = seconds_since(t0);
  if (!back || (*back)->node_count() != c.keys.size()) velmora::panic("the blob did not read back");
  t0 = std::chrono::steady_clock::now();
  GraphStore store;
  for (const NodeKey& key : c.keys) {
    if (!store.intern(key)) velmora::panic("interning failed");
  }
  return {read, seconds_since(t0)};
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t records = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 40000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 9;
  if (records == 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: collision_bench [records>0] [rounds>0]\n");
    return 2;
  }
  // Enough sources that their pairs hold the records 1.3 times over.
  const auto sources = static_cast<uint64_t>(std::ceil(std::sqrt(1.3 * 1024.0 * static_cast<double>(records))));
  // The ordinary records are drawn as thinly from the same pairs, by their
  // ids alone, so that both blobs spell ids of the same sizes.
  std::vector<std::pair<uint64_t, uint64_t>> colliding, ordinary;
  for (uint64_t a = 0; a < sources && std::min(colliding.size(), ordinary.size()) < records; ++a) {
    for (uint64_t b = 0; b < sources; ++b) {
      if (colliding.size() < records && in_band(fixed_mixer_hash(a, b))) colliding.emplace_back(a, b);
      if (ordinary.size() < records && (a * 31 + b) % 1024 == 7) ordinary.emplace_back(a, b);
    }
  }
  if (std::min(colliding.size(), ordinary.size()) < records) velmora::panic("too few keys found");

  // The two cases take turns, so that both meet the same moments of a busy host.
  const Case bad = make_case(sources, colliding), good = make_case(sources, ordinary);
  double bad_read = INFINITY, bad_intern = INFINITY, read = INFINITY, intern = INFINITY;
  for (int r = 0; r < rounds; ++r) {
    const auto [br, bi] = times(bad);
    const auto [gr, gi] = times(good);
    bad_read = std::min(bad_read, br);
    bad_intern = std::min(bad_intern, bi);
    read = std::min(read, gr);
    intern = std::min(intern, gi);
  }
  std::printf("%llu Exchange records over %llu sources, best of %d rounds:\n",
              static_cast<unsigned long long>(records), static_cast<unsigned long long>(sources), rounds);
  std::printf("  read    colliding %8.4f s   ordinary %8.4f s   ratio %6.2f\n", bad_read, read, bad_read / read);
  std::printf("  intern  colliding %8.4f s   ordinary %8.4f s   ratio %6.2f\n", bad_intern, intern,
              bad_intern / intern);
  return 0;
}
