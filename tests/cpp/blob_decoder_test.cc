// The blob reader against the independent decoder of the fuzz target: on the
// seeds (the committed corpus), their prefixes, their single-byte changes (cut
// or not) and random edits of them.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>

#include "../fuzz/blob_decoder.h"
#include "../fuzz/blob_seeds.h"
#include "gtest/gtest.h"

namespace velmora {
namespace {

using blob_decoder::Bytes;

// One to three edits: set a byte, insert one, delete one, or bump one.
Bytes edited(Bytes b, std::mt19937& rng) {
  for (uint32_t e = 1 + rng() % 3; e > 0 && !b.empty(); --e) {
    const auto at = static_cast<std::ptrdiff_t>(rng() % b.size());
    const auto v = static_cast<uint8_t>(rng());
    switch (rng() % 4) {
      case 0: b[at] = v; break;
      case 1: b.insert(b.begin() + at, v); break;
      case 2: b.erase(b.begin() + at); break;
      default: b[at] = static_cast<uint8_t>(b[at] + (v % 2 ? 1 : -1)); break;
    }
  }
  return b;
}

TEST(BlobDecoder, ReaderAgreesOnSeedsAndTheirEdits) {
  std::map<std::string, int> outcomes;  // by the message's start, to see every way taken
  auto agrees = [&outcomes](const Bytes& blob, const char* what) {
    auto read = deserialize(blob);
    ++outcomes[read.ok() ? "ok" : read.error().message().substr(0, 12)];
    const std::string d = blob_decoder::disagreement(blob);
    EXPECT_EQ(d, "") << what << " " << testing::PrintToString(blob);
    return d.empty();
  };
  const auto corpus = std::filesystem::path(__FILE__).parent_path() / ".." / "fuzz" / "corpus" / "blob";
  const auto seeds = blob_seeds::all();
  for (const auto& seed : seeds) {
    std::ifstream in(corpus / seed.name, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), seed.bytes)
        << seed.name << " differs from the corpus; run blob_fuzz --write-corpus=" << corpus.string();
    for (std::size_t n = 0; n <= seed.bytes.size(); ++n) {
      ASSERT_TRUE(agrees(Bytes(seed.bytes.begin(), seed.bytes.begin() + n), "prefix"));
    }
    for (std::size_t at = 0; at < std::min<std::size_t>(seed.bytes.size(), 800); ++at) {
      const uint8_t was = seed.bytes[at];
      for (int v : {0x00, 0x01, 0x07, 0xFF, was - 1, was + 1}) {
        Bytes blob = seed.bytes;
        blob[at] = static_cast<uint8_t>(v);
        ASSERT_TRUE(agrees(blob, "byte set"));
        blob.resize(std::min(blob.size(), at + 1 + at % 4));  // and cut a few bytes on
        ASSERT_TRUE(agrees(blob, "byte set and cut"));
      }
    }
  }
  std::mt19937 rng(23);
  for (int round = 0; round < 4000; ++round) {
    ASSERT_TRUE(agrees(edited(seeds[rng() % seeds.size()].bytes, rng), "edited seed"));
  }
  for (const char* way : {"ok", "node referen", "truncated ve", "invalid node", "invalid para", "invalid stag",
                          "invalid utf-", "not a velmor"}) EXPECT_GT(outcomes[way], 20) << way;
}

}  // namespace
}  // namespace velmora
