// The IR blob: exact bytes, refusals and round trips, hostile input for the
// reader, and UTF-8 against the decoder's definition.
#include <algorithm>
#include <bit>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "../fuzz/blob_decoder.h"
#include "../fuzz/blob_seeds.h"
#include "alloc_harness.h"
#include "gtest/gtest.h"
#include "ids_for_test.h"
#include "serialize/utf8.h"
#include "store_for_test.h"

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

Bytes write(const GraphStore& s, const std::vector<NodeId>& out) { return serialize_with(s, out).value().bytes(); }
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
  EXPECT_EQ(write(*read_ok(expected), ids(1)), expected);
  EXPECT_EQ(blob_seeds::all()[1].bytes, expected);
  auto store = read_ok(hdr(3, 3).u32(1).u64(0).b);
  const Bytes blob = write(*store, ids(2, 2));
  EXPECT_EQ(Bytes(blob.end() - 20, blob.end()), B{}.u32(2).u64(2).u64(2).b);
  EXPECT_EQ(read_ok(blob)->outputs(), ids(2));
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
           {{s}, ids(0, 0, 0), ": output count 3"},
           {{s, NodeKey::Op("f", ids(0, 0, 0))}, {}, " node 1: input count 3"},
           {{NodeKey::Source("s", three)}, {}, " node 0: param count 3"},
           {{NodeKey::External({"k", "h", "f", "1", "io", "ref"}, {})}, {}, " node 0: string length 3"},
           {{s, NodeKey::Stage(ids(0), {m, m, m})}, {}, " node 1: stage member count 3"},
           {{s, NodeKey::Stage(ids(0), {{"x", {i0, i0, i0}}})}, {}, " node 1: stage argument count 3"},
           {{s, NodeKey::Stage(ids(0), {{"x", {StageRef::Input(3)}}})}, {}, " node 1: stage argument index 3"}}) {
    auto blob = blob_seeds::encode_nodes(nodes, outputs, 2);
    ASSERT_FALSE(blob.ok()) << error;
    EXPECT_EQ(blob.error().message, "cannot serialize" + error + " exceeds the blob field limit of 2");
  }
  EXPECT_TRUE(blob_seeds::encode_nodes({s, NodeKey::Op("ab", ids(0, 0))}, ids(1, 1), 2).ok());  // at the limit
  // A stage argument index is a u64 in memory but a u32 on disk: the real
  // 32-bit check, reached without gigabytes of data.
  GraphStore store;
  ASSERT_TRUE(store.intern(s).ok());
  ASSERT_TRUE(store.intern(NodeKey::Stage(ids(0), {{"op|a", {StageRef::Input(uint64_t{1} << 32)}}})).ok());
  EXPECT_EQ(serialize_with(store, {}).error().message,
            "cannot serialize node 1: stage argument index 4294967296 exceeds the blob field limit of 4294967295");
}

// A blob past the points where the reader makes room from what it has read,
// whole, cut inside its records, and with records much larger after them.
TEST(BlobRoundTrip, LargeBlobsWholeAndCut) {
  GraphStore s;
  (void)s.intern(NodeKey::Source("x", {}));
  for (uint64_t i = 1; i < 40000; ++i) (void)s.intern(NodeKey::Op("neg", ids(i - 1), {}));
  const Bytes blob = write(s, ids(39999));
  EXPECT_EQ(write(*read_ok(blob), ids(39999)), blob);
  EXPECT_EQ(outcome(Bytes(blob.begin(), blob.begin() + blob.size() / 2)), kTruncated);
  B grown = hdr(5000);
  for (int i = 0; i < 5000; ++i) grown.src(std::string(i < 4096 ? 1 : 5000, 'a') + std::to_string(i));
  EXPECT_EQ(read_ok(grown.u32(0).b)->node_count(), 5000u);
}

// Records of very different sizes, the huge ones first, last or between runs
// of small ones: the blob is right and reads back, and the writer never holds
// more than a few times the blob's bytes.
TEST(BlobWrite, SkewedRecordSizesCostWhatTheBlobHolds) {
  for (int layout = 0; layout < 3; ++layout) {
    std::vector<std::string> names;
    for (int i = 0; i < 5000; ++i) {
      const bool huge = layout == 0 ? i < 2 : layout == 1 ? i >= 4998 : i % 1000 == 500;
      names.push_back(std::string(huge ? 100'000 : 1, 'a' + i % 26) + std::to_string(i));
    }
    GraphStore s;
    B expected = hdr(static_cast<uint32_t>(names.size()));
    for (const std::string& name : names) {
      ASSERT_TRUE(s.intern(NodeKey::Source(name)).ok());
      expected.src(name);
    }
    harness::reset_alloc_stats();
    const Bytes blob = write(s, {});
    const std::size_t peak = harness::alloc_stats_now().peak;
    EXPECT_EQ(blob, expected.u32(0).b) << layout;
    EXPECT_LE(peak, 4 * blob.size()) << layout;
    EXPECT_EQ(write(*read_ok(blob), {}), blob) << layout;
  }
  // The first chunk is as large as a blob of the least records can be: no
  // record of any kind is shorter than 9 bytes.
  const PayloadDescriptor empty{"", "", "", "", "", std::nullopt};
  for (const auto& [key, least] : std::vector<std::pair<NodeKey, std::size_t>>{
           {NodeKey::Source(""), 9}, {NodeKey::Op("", {}), 13}, {NodeKey::Reduction("", {}), 13},
           {NodeKey::External(empty, {}), 30}, {NodeKey::Stage({}, {}), 9}, {NodeKey::Exchange({}), 9},
           {NodeKey::Join({}), 9}}) {
    GraphStore one;
    ASSERT_TRUE(one.intern(key).ok());
    EXPECT_EQ(write(one, {}).size(), 8 + least + 4) << key.label();
  }
}

// The record of `key` written by hand, its params in the order given.
void put(B& b, const NodeKey& key, const std::vector<Param>& params) {
  b.u8(static_cast<uint8_t>(key.kind()));
  for (Part part : kind_info(key.kind()).parts()) {
    switch (part) {
      case Part::kName: b.str(key.name()); break;
      case Part::kDescriptor: {
        const PayloadDescriptor& d = *key.as<ExternalNode>().descriptor;
        for (const std::string* f : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) b.str(*f);
        b.u8(d.preprocessing_ref ? 1 : 0);
        if (d.preprocessing_ref) b.str(*d.preprocessing_ref);
        break;
      }
      case Part::kParams:
        b.u32(static_cast<uint32_t>(params.size()));
        for (const Param& q : params) {
          const ParamRef r = ParamRef::of(q);
          b.str(r.name).u8(static_cast<uint8_t>(r.kind));
          if (r.kind == ParamValue::Kind::kStr) b.str(r.str);
          else if (r.kind == ParamValue::Kind::kBool) b.u8(r.bits != 0);
          else b.u64(r.bits);
        }
        break;
      case Part::kInputs:
        b.u32(static_cast<uint32_t>(key.inputs().size()));
        for (NodeId i : key.inputs()) b.u64(i.value());
        break;
      case Part::kMembers:
        b.u32(static_cast<uint32_t>(key.as<StageNode>().members.size()));
        for (const StageOp& m : key.as<StageNode>().members) {
          b.str(m.op).u32(static_cast<uint32_t>(m.inputs.size()));
          for (StageRef r : m.inputs) b.u8(static_cast<uint8_t>(r.kind)).u32(static_cast<uint32_t>(r.index));
        }
        break;
    }
  }
}

// Blobs of random graphs of every kind read back word for word as the store
// written: texts that first come up mid-blob (a known descriptor beside a new
// text keeps its one copy), params out of order, keys of more words than are
// written in place. A repeated record, and every cut of a few blobs, are
// refused as the decoder says.
TEST(BlobRead, RandomGraphsReadBackWordForWord) {
  int repeated = 0;
  for (uint32_t seed = 0; seed < 3000; ++seed) {
    std::mt19937 rng(seed);
    auto below = [&rng](uint64_t n) { return static_cast<uint32_t>(rng() % n); };
    const uint32_t count = 1 + below(60);
    GraphStore from;
    B blob = hdr(count);
    bool repeats = false;
    for (uint32_t i = 0; i < count; ++i) {
      auto text = [&](const char* head) { return head + std::to_string(below(2 + i / 4)); };  // ever more
      const uint64_t n = from.node_count();
      std::vector<NodeId> inputs;
      for (uint32_t k = n == 0 ? 0 : below(8) == 0 ? 20 : below(4); k > 0; --k) inputs.push_back(NodeId(below(n)));
      std::vector<Param> pairs;
      for (uint32_t k = below(8) == 0 ? 20 : below(4); k > 0; --k) {
        const ParamValue values[] = {ParamValue::Int(below(3)), ParamValue::Float(below(2) ? NAN : 0.5),
                                     ParamValue::Bool(below(2)), ParamValue::Str(text("s"))};
        pairs.emplace_back(text("p"), values[below(4)]);
      }
      const ParamMap params(std::move(pairs));
      const std::string name = text("f");
      const std::vector<StageRef> refs = inputs.empty() ? std::vector<StageRef>{} : std::vector{StageRef::Input(below(inputs.size()))};
      NodeKey key = NodeKey::Source(name, params);
      switch (below(9)) {
        case 0: break;
        case 1: key = NodeKey::Reduction(name, inputs, params); break;
        case 2: key = NodeKey::Exchange(inputs, params); break;
        case 3: key = NodeKey::Join(inputs, params); break;
        case 4: key = NodeKey::External({"k", text("h"), "f", "v", "io", text("r")}, inputs, params); break;
        case 5: key = NodeKey::Stage(inputs, {{text("op|"), refs}, {"op|g", {StageRef::Member(0)}}}); break;
        default: key = NodeKey::Op(name, inputs, params); break;
      }
      if (n > 0 && below(50) == 0) key = from.snapshot().nodes[below(n)].to_key();
      repeats |= from.intern(key).value().value() != n;
      std::vector<Param> fed(key.params().begin(), key.params().end());
      if (below(4) == 0) {  // names backwards; a name's repeats stay in order, as they are not sorted
        std::stable_sort(fed.begin(), fed.end(), [](const Param& a, const Param& b) { return a.first > b.first; });
      }
      put(blob, key, fed);
    }
    const Bytes bytes = blob.u32(1).u64(below(from.node_count())).b;
    ASSERT_EQ(blob_decoder::disagreement(bytes), "") << seed;
    repeated += repeats;
    const auto words = [](const GraphStore& s) { return ArenaForTest::words(StoreForTest::arena(s)); };
    if (!repeats) { ASSERT_EQ(words(*read_ok(bytes)), words(from)) << seed; }
    for (std::size_t cut = 0; seed < 8 && cut < bytes.size(); ++cut) {
      ASSERT_EQ(blob_decoder::disagreement(Bytes(bytes.begin(), bytes.begin() + cut)), "") << seed << " " << cut;
    }
  }
  EXPECT_GT(repeated, 300);
}

// The reader makes room for the nodes still to come at the rate of those read,
// only as many as the bytes left can hold: large records first, then many
// small ones, cost no more than the store they make.
TEST(BlobRead, RoomFollowsTheRecordsRead) {
  constexpr uint32_t kLarge = 4096, kSmall = 28000;
  B blob = hdr(1 + kLarge + kSmall, 1);
  for (uint32_t i = 0; i < kLarge; ++i) {  // a stage of 300 references to its one input
    blob.u8(4).u32(1).u64(0).u32(1).str("op|" + std::to_string(i)).u32(300);
    for (int a = 0; a < 300; ++a) blob.u8(0).u32(0);
  }
  for (uint32_t i = 0; i < kSmall; ++i) blob.src("s" + std::to_string(i));
  blob.u32(0);
  harness::reset_alloc_stats();
  EXPECT_EQ(read_ok(blob.b)->node_count(), 1 + kLarge + kSmall);
  EXPECT_LE(harness::alloc_stats_now().peak, 3 * blob.b.size());
}

// Marks grow their list and index geometrically: n marks allocate O(log n)
// times, made one by one or read from a blob (against the same blob without
// them).
TEST(BlobRead, MarksAllocateLogarithmically) {
  for (uint64_t n : {1000u, 60000u}) {
    GraphStore s;
    for (uint64_t i = 0; i < n; ++i) ASSERT_TRUE(s.intern(NodeKey::Source(std::to_string(i))).ok());
    std::vector<NodeId> all;
    for (uint64_t i = 0; i < n; ++i) all.push_back(NodeId(i));
    const Bytes bare = write(s, {}), marked = write(s, all);
    const long bound = 4 * std::bit_width(n);
    auto allocations = [](auto&& f) {
      harness::reset_alloc_stats();
      f();
      return harness::alloc_stats_now().count;
    };
    const long marking = allocations([&] {
      for (NodeId id : all) ASSERT_TRUE(s.mark_output(id).ok());
    });
    const long reading = allocations([&] { EXPECT_EQ(read_ok(marked)->outputs(), all); }) -
                         allocations([&] { read_ok(bare); });
    EXPECT_LE(marking, bound) << n;
    EXPECT_LE(reading, bound) << n;
  }
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
        ASSERT_EQ(is_valid_utf8(buf, lead + len), blob_decoder::valid_utf8(buf, lead + len))
            << testing::PrintToString(Bytes(buf + lead, buf + lead + len));
      }
    }
  }
}

}  // namespace
}  // namespace velmora
