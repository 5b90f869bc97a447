// The IR blob: exact bytes, refusals and round trips, hostile input for the
// reader, and UTF-8 against an independent definition.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "../fuzz/blob_seeds.h"
#include "gtest/gtest.h"
#include "serialize/utf8.h"

namespace velmora {
namespace {

using Bytes = std::vector<uint8_t>;

struct B {  // a hand-made blob
  Bytes b;
  B& le(uint64_t v, int bytes) {
    for (int k = 0; k < bytes; ++k) b.push_back(static_cast<uint8_t>(v >> (8 * k)));
    return *this;
  }
  B& u8(uint8_t v) { return le(v, 1); }
  B& u32(uint32_t v) { return le(v, 4); }
  B& u64(uint64_t v) { return le(v, 8); }
  B& str(std::string_view s) {
    u32(static_cast<uint32_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  B& src(std::string_view name) { return u8(0).str(name).u32(0); }
};

// Magic, node count, and the first `sources` records.
B hdr(uint32_t nodes, int sources = 0) {
  B b = B{{'V', 'I', 'R', '1'}}.u32(nodes);
  for (int i = 0; i < sources; ++i) b.src(std::string(1, static_cast<char>('a' + i)));
  return b;
}

Bytes write(const GraphStore& s, const std::vector<NodeId>& out) { return serialize_with(s, out).value(); }
std::unique_ptr<GraphStore> read_ok(const Bytes& data) { return deserialize(data).value(); }
std::string outcome(const Bytes& data) {
  auto store = deserialize(data);
  return store.ok() ? "ok" : store.error().message();
}

const std::string kTruncated = "truncated velmora IR blob";

// The worked example, also the "scale" seed; the output section is the given
// list, not the marks, and each output is marked once when read back.
TEST(BlobWrite, WorkedExampleAndTheOutputSection) {
  const Bytes expected = {
      0x56, 0x49, 0x52, 0x31, 0x02, 0x00, 0x00, 0x00,                          // magic, 2 nodes
      0x00, 0x01, 0x00, 0x00, 0x00, 0x78, 0x00, 0x00, 0x00, 0x00,              // source x
      0x01, 0x05, 0x00, 0x00, 0x00, 0x73, 0x63, 0x61, 0x6c, 0x65,              // op scale
      0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x6b, 0x00,              // 1 param k, Int
      0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                          // 3
      0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // inputs [0]
      0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // outputs [1]
  };
  ASSERT_EQ(expected.size(), 70u);
  EXPECT_EQ(write(*read_ok(expected), {1}), expected);
  EXPECT_EQ(blob_seeds::all()[1].bytes, expected);
  auto store = read_ok(hdr(3, 3).u32(1).u64(0).b);
  const Bytes blob = write(*store, {2, 2});
  EXPECT_EQ(Bytes(blob.end() - 20, blob.end()), B{}.u32(2).u64(2).u64(2).b);
  EXPECT_EQ(read_ok(blob)->outputs(), std::vector<NodeId>{2});
}

// Every count, length and index over the limit is refused by name; a limit of
// 2 stands in for 2^32 - 1.
TEST(BlobWrite, RefusesFieldsThatDoNotFit) {
  const NodeKey s = NodeKey::Source("s");
  const StageOp m{"x", {}};
  const StageRef i0 = StageRef::Input(0);
  const ParamMap three({{"a", ParamValue::Int(1)}, {"b", ParamValue::Int(2)}, {"c", ParamValue::Int(3)}});
  // The nodes, the outputs, and the error between "cannot serialize" and " exceeds".
  for (const auto& [nodes, outputs, error] : std::vector<std::tuple<std::vector<NodeKey>, Inputs, std::string>>{
           {{s, NodeKey::Source("t"), NodeKey::Source("u")}, {}, ": node count 3"},
           {{s}, {0, 0, 0}, ": output count 3"},
           {{s, NodeKey::Op("f", {0, 0, 0})}, {}, " node 1: input count 3"},
           {{NodeKey::Source("s", three)}, {}, " node 0: param count 3"},
           {{NodeKey::External({"k", "h", "f", "1", "io", "ref"}, {})}, {}, " node 0: string length 3"},
           {{s, NodeKey::Stage({0}, {m, m, m})}, {}, " node 1: stage member count 3"},
           {{s, NodeKey::Stage({0}, {{"x", {i0, i0, i0}}})}, {}, " node 1: stage argument count 3"},
           {{s, NodeKey::Stage({0}, {{"x", {StageRef::Input(3)}}})}, {}, " node 1: stage argument index 3"}}) {
    auto blob = blob_seeds::encode_nodes(nodes, outputs, 2);
    ASSERT_FALSE(blob.ok()) << error;
    EXPECT_EQ(blob.error().message, "cannot serialize" + error + " exceeds the blob field limit of 2");
  }
  EXPECT_TRUE(blob_seeds::encode_nodes({s, NodeKey::Op("ab", {0, 0})}, {1, 1}, 2).ok());  // at the limit
  // A stage argument index is a u64 in memory but a u32 on disk: the real
  // 32-bit check, reached without gigabytes of data.
  GraphStore store;
  ASSERT_TRUE(store.intern(s).ok());
  ASSERT_TRUE(store.intern(NodeKey::Stage({0}, {{"op|a", {StageRef::Input(uint64_t{1} << 32)}}})).ok());
  EXPECT_EQ(serialize_with(store, {}).error().message,
            "cannot serialize node 1: stage argument index 4294967296 exceeds the blob field limit of 4294967295");
}

// Seeds read back and rewrite to themselves (trailing bytes ignored); they are
// the committed fuzz corpus.
TEST(BlobRoundTrip, SeedsRewriteToThemselvesAndMatchTheCorpus) {
  const auto dir = std::filesystem::path(__FILE__).parent_path() / ".." / "fuzz" / "corpus" / "blob";
  for (const auto& seed : blob_seeds::all()) {
    auto store = read_ok(seed.bytes);
    EXPECT_EQ(write(*store, store->outputs()), seed.bytes) << seed.name;
    EXPECT_EQ(write(*read_ok(B{seed.bytes}.u8(0xFF).u8(0).b), store->outputs()), seed.bytes) << seed.name;
    std::ifstream in(dir / seed.name, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), seed.bytes)
        << seed.name << " differs; run blob_fuzz --write-corpus=" << dir.string();
  }
}

// A blob past the points where the reader makes room from what it has read,
// whole, cut inside its records, and with records much larger after them.
TEST(BlobRoundTrip, LargeBlobsWholeAndCut) {
  GraphStore s;
  (void)s.intern(NodeKey::Source("x", {}));
  for (NodeId i = 1; i < 40000; ++i) (void)s.intern(NodeKey::Op("neg", {i - 1}, {}));
  const Bytes blob = write(s, {39999});
  EXPECT_EQ(write(*read_ok(blob), {39999}), blob);
  EXPECT_EQ(outcome(Bytes(blob.begin(), blob.begin() + blob.size() / 2)), kTruncated);
  B grown = hdr(5000);
  for (int i = 0; i < 5000; ++i) grown.src(std::string(i < 4096 ? 1 : 5000, 'a') + std::to_string(i));
  EXPECT_EQ(read_ok(grown.u32(0).b)->node_count(), 5000u);
}

// Params come back stably sorted, also past the few items a sort handles by
// insertion; a bool byte of 7 is true, a presence byte of 2 means present.
TEST(BlobRead, UnsortedParamsAndLenientBytes) {
  std::vector<Param> pairs;
  B blob = hdr(2).u8(0).str("x").u32(40);
  for (int i = 0; i < 40; ++i) {
    pairs.emplace_back(std::string(1, "cab"[i * 7 % 3]), ParamValue::Int(i));
    blob.str(pairs.back().first).u8(0).u64(static_cast<uint64_t>(i));
  }
  blob.u8(3).str("k").str("h").str("f").str("v").str("io").u8(2).str("p").u32(1).str("t").u8(2).u8(7);
  const std::vector<NodeKey> nodes = read_ok(blob.u32(1).u64(0).u32(0).b)->snapshot().nodes.keys();
  const ParamMap built(pairs);
  std::stable_sort(pairs.begin(), pairs.end(), [](auto& x, auto& y) { return x.first < y.first; });
  EXPECT_EQ(nodes[0].params().pairs(), pairs);
  EXPECT_EQ(built.pairs(), pairs);
  EXPECT_TRUE(nodes[1].params().pairs()[0].second.as_bool());
  EXPECT_EQ(nodes[1].as<ExternalNode>().descriptor->preprocessing_ref, "p");
}

// Each problem is reported where the reader meets it: the first in reading
// order wins over later ones (often running out of bytes).
TEST(BlobRead, EveryErrorAtItsPlace) {
  const std::string magic = "not a velmora IR blob (bad magic/version)";
  const std::string utf8 = "invalid utf-8 in velmora IR blob";
  const std::string bad = "a\xC0\xAF";  // an overlong "/"
  const uint32_t huge = 0xFFFFFFFF;
  auto ref = [](uint64_t n) { return "node reference " + std::to_string(n) + " out of range"; };
  // A stage over `inputs` copies of node 0 whose last member has one argument.
  auto stage = [](uint32_t inputs, uint8_t members_before, uint8_t tag, uint32_t k) {
    B b = hdr(2, 1).u8(4).u32(inputs);
    for (uint32_t i = 0; i < inputs; ++i) b.u64(0);
    b.u32(members_before + 1u);
    for (uint8_t j = 0; j < members_before; ++j) b.str("op|a").u32(1).u8(0).u32(0);
    return b.str("op|b").u32(1).u8(tag).u32(k);
  };
  auto repeat = [](uint32_t n) { return hdr(n).src("a").src("a").src("b").u8(1).str("neg").u32(0).u32(1).u64(1); };
  std::vector<std::pair<B, std::string>> rows = {
      {B{{'V', 'I', 'R', '2'}}, magic}, {B{{'P', 'K', 3, 4, 5}}, magic}, {B{{'v', 'i', 'r', '1', 0, 0, 0, 0}}, magic},
      {hdr(1).u8(255), "invalid node tag 255"}, {hdr(2).u8(9), "invalid node tag 9"},
      {hdr(1).u8(0).str("x").u32(1).str("p").u8(4), "invalid param tag 4"},
      {stage(1, 0, 2, 0), "invalid stage-ref tag 2"},
      // A reference equal to the record's own index, or to the node count.
      {hdr(6, 5).u8(1).str("f").u32(0).u32(2).u64(4).u64(5), ref(5)},
      {hdr(2, 1).u8(3).str("k").str("h").str("f").str("v").str("io").u8(0).u32(0).u32(1).u64(1), ref(1)},
      {hdr(1, 1).u32(1).u64(1), ref(1)}, {hdr(0).u32(1).u64(0), ref(0)},
      {hdr(1, 1).u32(2).u64(0).u64(~uint64_t{0}), ref(~uint64_t{0})},
      // Member(k) names an earlier member; Input(k) one of the stage's inputs.
      {stage(1, 0, 1, 0), ref(0)}, {stage(1, 2, 1, 2), ref(2)}, {stage(1, 2, 1, 7), ref(7)},
      {stage(1, 2, 1, 1).u32(0), "ok"}, {stage(2, 0, 0, 2), ref(2)}, {stage(0, 0, 0, 0), ref(0)},
      {stage(2, 0, 0, 1).u32(0), "ok"},
      // A repeated record, which would take the earlier id and shift later ones.
      {repeat(4).u32(0), ref(1)}, {repeat(4).u32(1).u64(3), ref(1)}, {hdr(2).src("a").src("a").u32(0), ref(1)},
      {hdr(4).src("a").src("a").src("b"), ref(1)},  // reported before the cut record after it
      // Invalid UTF-8 in every string position (the descriptor's below).
      {hdr(1).u8(0).str(bad), utf8}, {hdr(1).u8(0).str("x").u32(1).str(bad), utf8},
      {hdr(1).u8(0).str("x").u32(1).str("p").u8(3).str(bad), utf8},
      {hdr(2, 1).u8(4).u32(1).u64(0).u32(1).str(bad), utf8},
      // The first problem in reading order wins.
      {hdr(2, 1).u8(1).str("f").u32(0).u32(1000).u64(99), ref(99)},
      {hdr(1).u8(0).str("\xFF").u32(1).str("p").u8(9), utf8},
      {hdr(1).u8(0).u32(10).u8(0xFF), kTruncated},
      {hdr(2, 1).u8(4).u32(1).u64(0).u32(5).str("op|a").u32(1).u8(1).u32(3), ref(3)},
      {hdr(1, 1).u32(3).u64(5), ref(5)}, {B{{'X', 'I', 'R', '1'}}, magic},
      // Counts are not trusted: each announces far more than the bytes hold.
      {hdr(huge), kTruncated}, {hdr(huge, 2), kTruncated}, {hdr(1).u8(0).u32(huge).u8('x'), kTruncated},
      {hdr(1).u8(0).str("x").u32(huge), kTruncated}, {hdr(1).u8(0).str("x").u32(huge).str("").u8(2).u8(1), kTruncated},
      {hdr(2, 1).u8(1).str("f").u32(0).u32(huge).u64(0), kTruncated},
      {hdr(2, 1).u8(4).u32(1).u64(0).u32(huge), kTruncated}, {hdr(1, 1).u32(huge).u64(0), kTruncated},
      {hdr(2, 1).u8(4).u32(1).u64(0).u32(1).str("op|a").u32(huge).u8(0).u32(0), kTruncated},
  };
  for (uint8_t tag : {1, 2, 5, 6}) {  // every kind with inputs checks them
    B b = hdr(2, 1).u8(tag);
    if (tag <= 2) b.str("f");
    rows.push_back({b.u32(0).u32(1).u64(9).u32(0), ref(9)});
  }
  for (int field = 0; field < 6; ++field) {
    B b = hdr(1).u8(3);
    for (int f = 0; f < 5; ++f) b.str(f == field ? bad : "ok");
    rows.push_back({b.u8(1).str(field == 5 ? bad : "ok").u32(0).u32(0).u32(0), utf8});
  }
  for (const auto& [blob, error] : rows) EXPECT_EQ(outcome(blob.b), error) << testing::PrintToString(blob.b);
}

// Every strict prefix of a seed is truncated; with any byte set to a few
// telling values it rewrites stably or fails cleanly, and keys prepared from
// its bytes, a stored node and a NodeKey agree (else equal nodes would split).
TEST(BlobRead, EveryPrefixAndSingleByteMutationOfEverySeed) {
  for (const auto& seed : blob_seeds::all()) {
    for (std::size_t n = 0; n < seed.bytes.size(); ++n) {
      ASSERT_EQ(outcome(Bytes(seed.bytes.begin(), seed.bytes.begin() + n)), kTruncated) << seed.name << n;
    }
    for (std::size_t at = 0; at < std::min<std::size_t>(seed.bytes.size(), 800); ++at) {
      for (uint8_t v : {0x00, 0x07, 0xFF}) {
        Bytes blob = seed.bytes;
        blob[at] = v;
        auto store = deserialize(blob);
        if (!store.ok()) {
          EXPECT_FALSE(store.error().message().empty());
          continue;
        }
        const Bytes once = write(**store, (*store)->outputs());
        auto again = read_ok(once);
        ASSERT_EQ(write(*again, again->outputs()), once) << seed.name << " byte " << at << " = " << int(v);
        const NodesView nodes = (*store)->snapshot().nodes;
        ASSERT_TRUE(again->snapshot().nodes == nodes);
        for (uint64_t i = 0; i < nodes.size(); ++i) {
          const Inputs in(nodes[i].inputs().begin(), nodes[i].inputs().end());
          ASSERT_EQ(nodes[i].prepare(in).hash, NodeArena::prepare(nodes[i].to_key()).hash);
          ASSERT_EQ(again->intern(nodes[i].to_key()).value(), i);
        }
      }
    }
  }
}

// UTF-8 by its definition: decode by the bit layout, then require the
// shortest form, no surrogate and at most U+10FFFF.
bool reference_utf8(const uint8_t* s, std::size_t n) {
  for (std::size_t i = 0; i < n;) {
    const uint8_t b = s[i];
    const std::size_t len = b < 0x80 ? 1 : b >> 5 == 6 ? 2 : b >> 4 == 14 ? 3 : b >> 3 == 30 ? 4 : 0;
    if (len == 0 || i + len > n) return false;
    uint32_t cp = len == 1 ? b : b & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    const uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_for_len[len] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
    i += len;
  }
  return true;
}

TEST(Utf8, AgreesWithAnIndependentDefinition) {
  // Every first and second byte, then continuation bytes or not; the leads put
  // them inside and across the words the ASCII skip reads eight at a time.
  const uint8_t tails[] = {0x41, 0x80, 0xBF, 0xC0};
  uint8_t buf[32];
  for (std::size_t lead : {0, 5, 13}) {
    std::fill(buf, buf + lead, 'a');
    for (int i = 0; i < 256 * 256 * 16; ++i) {
      const int b = (i >> 4) & 255, t = i & 15;
      const uint8_t seq[] = {static_cast<uint8_t>(i >> 12), static_cast<uint8_t>(b), tails[t & 3], tails[t >> 2]};
      std::copy(seq, seq + 4, buf + lead);
      for (std::size_t len = t >= 4 ? 4 : t > 0 ? 3 : b > 0 ? 2 : 1; len <= 4; ++len) {
        ASSERT_EQ(is_valid_utf8(buf, lead + len), reference_utf8(buf, lead + len))
            << testing::PrintToString(Bytes(buf + lead, buf + lead + len));
      }
    }
  }
}

}  // namespace
}  // namespace velmora
