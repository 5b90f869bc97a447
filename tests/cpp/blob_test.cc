// The IR blob: exact bytes of the writer, byte-identical round trips, every
// reader error with its message and the order in which they are found, the
// untrusted-count cases and the writer's refusal of oversized fields.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../fuzz/blob_seeds.h"
#include "node/node.h"
#include "param/param.h"
#include "serialize/blob.h"
#include "serialize/utf8.h"
#include "store/store.h"

namespace velmora {
namespace {

using Bytes = std::vector<uint8_t>;

// Builds hand-made blobs field by field.
struct BlobBuilder {
  Bytes b;
  BlobBuilder& u8(uint8_t v) {
    b.push_back(v);
    return *this;
  }
  BlobBuilder& u32(uint32_t v) {
    for (int k = 0; k < 4; ++k) b.push_back(static_cast<uint8_t>(v >> (8 * k)));
    return *this;
  }
  BlobBuilder& u64(uint64_t v) {
    for (int k = 0; k < 8; ++k) b.push_back(static_cast<uint8_t>(v >> (8 * k)));
    return *this;
  }
  BlobBuilder& str(std::string_view s) {
    u32(static_cast<uint32_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  // Magic and node count.
  static BlobBuilder header(uint32_t nodes) {
    BlobBuilder x;
    x.b = {'V', 'I', 'R', '1'};
    x.u32(nodes);
    return x;
  }
  BlobBuilder& source(std::string_view name) { return u8(0).str(name).u32(0); }
};

NodeId intern_ok(GraphStore& store, NodeKey key) {
  auto id = store.intern(std::move(key));
  EXPECT_TRUE(id.ok());
  return id.ok() ? *id : 0;
}

Bytes write(const GraphStore& store, const std::vector<NodeId>& outputs) {
  auto blob = serialize_with(store, outputs);
  EXPECT_TRUE(blob.ok()) << (blob.ok() ? "" : blob.error().message);
  return blob.ok() ? *blob : Bytes{};
}

std::unique_ptr<GraphStore> read_ok(const Bytes& data) {
  auto store = deserialize(data);
  EXPECT_TRUE(store.ok()) << (store.ok() ? "" : store.error().message());
  return store.ok() ? std::move(store).value() : std::make_unique<GraphStore>();
}

std::string read_error(const Bytes& data) {
  auto store = deserialize(data);
  if (store.ok()) return "<decoded>";
  return store.error().message();
}

const std::string kTruncated = "truncated velmora IR blob";
const std::string kBadMagic = "not a velmora IR blob (bad magic/version)";
const std::string kBadUtf8 = "invalid utf-8 in velmora IR blob";

// ------------------------------------------------------------------ writing

TEST(BlobWrite, WorkedExampleIsSeventyExactBytes) {
  GraphStore store;
  intern_ok(store, NodeKey::Source("x"));
  intern_ok(store, NodeKey::Op("scale", {0}, ParamMap({{"k", ParamValue::Int(3)}})));
  ASSERT_TRUE(store.mark_output(1).ok());
  const Bytes expected = {
      0x56, 0x49, 0x52, 0x31, 0x02, 0x00, 0x00, 0x00,                    // magic, 2 nodes
      0x00, 0x01, 0x00, 0x00, 0x00, 0x78, 0x00, 0x00, 0x00, 0x00,        // source x
      0x01, 0x05, 0x00, 0x00, 0x00, 0x73, 0x63, 0x61, 0x6c, 0x65,        // op scale
      0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x6b, 0x00,        // 1 param k, Int
      0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                    // 3
      0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // inputs [0]
      0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // outputs [1]
  };
  ASSERT_EQ(expected.size(), 70u);
  EXPECT_EQ(write(store, store.outputs()), expected);
}

TEST(BlobWrite, EmptyStoreIsTwelveBytes) {
  GraphStore store;
  EXPECT_EQ(write(store, {}), (Bytes{0x56, 0x49, 0x52, 0x31, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(BlobWrite, OutputSectionIsExactlyTheGivenList) {
  GraphStore store;
  intern_ok(store, NodeKey::Source("a"));
  intern_ok(store, NodeKey::Source("b"));
  intern_ok(store, NodeKey::Source("c"));
  const Bytes with_repeat = write(store, {2, 2});
  Bytes tail(with_repeat.end() - 20, with_repeat.end());
  EXPECT_EQ(tail, BlobBuilder{}.u32(2).u64(2).u64(2).b);
  // The store's own marks play no part.
  ASSERT_TRUE(store.mark_output(0).ok());
  EXPECT_EQ(write(store, {2, 2}), with_repeat);
  // A repeated output comes back marked once.
  EXPECT_EQ(read_ok(with_repeat)->outputs(), (std::vector<NodeId>{2}));
}

TEST(BlobWrite, FloatBitsAreKeptExactlyIncludingNanPayloads) {
  for (uint64_t bits : {0x7FF0000000000001ULL, 0xFFF8000000000123ULL, 0x8000000000000000ULL}) {
    GraphStore store;
    intern_ok(store, NodeKey::Source("x", ParamMap({{"v", ParamValue::Float(
                                                              std::bit_cast<double>(bits))}})));
    const Bytes blob = write(store, {});
    // tag 0, name "x", 1 param named "v", value tag 1, then the raw pattern.
    const Bytes value(blob.begin() + 8 + 1 + 5 + 4 + 5 + 1, blob.begin() + 8 + 1 + 5 + 4 + 5 + 9);
    EXPECT_EQ(value, BlobBuilder{}.u64(bits).b);
    auto back = read_ok(blob)->snapshot().nodes.keys();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].params().pairs()[0].second.float_bits(), bits);
    EXPECT_EQ(write(*read_ok(blob), {}), blob);
  }
}

TEST(BlobWrite, AbsentAndEmptyPreprocessingRefAreDifferentNodes) {
  GraphStore store;
  auto d = blob_seeds::descriptor(std::nullopt);
  intern_ok(store, NodeKey::External(d, {}));
  d.preprocessing_ref = "";
  EXPECT_EQ(intern_ok(store, NodeKey::External(d, {})), 1u);
  const Bytes blob = write(store, {});
  // Each record: tag, five strings, presence byte [, ref], params, inputs.
  const std::size_t fields = 4 + 4 + 4 + 11 + 4 + 5 + 4 + 3 + 4 + 14;
  const std::size_t first = 8, second = first + 1 + fields + 1 + 8;
  EXPECT_EQ(blob[first + 1 + fields], 0);
  EXPECT_EQ(blob[second + 1 + fields], 1);
  EXPECT_EQ(Bytes(blob.begin() + second + 2 + fields, blob.begin() + second + 6 + fields),
            (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(read_ok(blob)->node_count(), 2u);
}

TEST(BlobWrite, StageMembersAndReferences) {
  std::vector<NodeKey> nodes{
      NodeKey::Source("s"),
      NodeKey::Stage({0}, {StageOp{"op|a", {StageRef::Input(0)}},
                           StageOp{"op|b", {StageRef::Member(0), StageRef::Input(0)}}})};
  auto blob = blob_seeds::encode_nodes(nodes, {1});
  ASSERT_TRUE(blob.ok());
  const Bytes stage = BlobBuilder{}
                          .u8(4).u32(1).u64(0)  // tag, inputs [0]
                          .u32(2)
                          .str("op|a").u32(1).u8(0).u32(0)
                          .str("op|b").u32(2).u8(1).u32(0).u8(0).u32(0)
                          .b;
  const Bytes got(blob->begin() + 8 + 10, blob->end() - 12);
  EXPECT_EQ(got, stage);
}

TEST(BlobWrite, PutParamsWritesTheMapInItsSortedOrder) {
  Bytes out{0xAA};
  ParamMap params({{"side", ParamValue::Str("r")},
                   {"b", ParamValue::Bool(false)},
                   {"scalar", ParamValue::Float(1.0)},
                   {"a", ParamValue::Int(-1)}});
  ASSERT_TRUE(put_params(out, params).ok());
  const Bytes expected = BlobBuilder{}
                             .u8(0xAA)
                             .u32(4)
                             .str("a").u8(0).u64(~uint64_t{0})
                             .str("b").u8(2).u8(0)
                             .str("scalar").u8(1).u64(0x3FF0000000000000ULL)
                             .str("side").u8(3).str("r")
                             .b;
  EXPECT_EQ(out, expected);
}

// Every count, length and index above the limit is refused with a message
// that names it; a small limit stands in for 2^32 - 1.
TEST(BlobWrite, RefusesFieldsThatDoNotFit) {
  auto message = [](const std::vector<NodeKey>& nodes, const std::vector<NodeId>& outputs) {
    auto blob = blob_seeds::encode_nodes(nodes, outputs, 2);
    return blob.ok() ? std::string("<written>") : blob.error().message;
  };
  const NodeKey s = NodeKey::Source("s");
  EXPECT_EQ(message({s, NodeKey::Source("t"), NodeKey::Source("u")}, {}),
            "cannot serialize: node count 3 exceeds the blob field limit of 2");
  EXPECT_EQ(message({s}, {0, 0, 0}),
            "cannot serialize: output count 3 exceeds the blob field limit of 2");
  EXPECT_EQ(message({s, NodeKey::Source("abc")}, {}),
            "cannot serialize node 1: string length 3 exceeds the blob field limit of 2");
  EXPECT_EQ(message({s, NodeKey::Op("f", {0, 0, 0})}, {}),
            "cannot serialize node 1: input count 3 exceeds the blob field limit of 2");
  ParamMap three({{"a", ParamValue::Int(1)}, {"b", ParamValue::Int(2)}, {"c", ParamValue::Int(3)}});
  EXPECT_EQ(message({NodeKey::Source("s", three)}, {}),
            "cannot serialize node 0: param count 3 exceeds the blob field limit of 2");
  EXPECT_EQ(message({NodeKey::Source("s", ParamMap({{"k", ParamValue::Str("long")}}))}, {}),
            "cannot serialize node 0: string length 4 exceeds the blob field limit of 2");
  auto d = blob_seeds::descriptor(std::nullopt);
  d.kind = "k";
  d.content_hash = "h";
  d.framework = "f";
  d.version = "1";
  d.io_schema = "io";
  d.preprocessing_ref = "ref";
  EXPECT_EQ(message({NodeKey::External(d, {})}, {}),
            "cannot serialize node 0: string length 3 exceeds the blob field limit of 2");
  StageOp m{"x", {}};
  EXPECT_EQ(message({s, NodeKey::Stage({0}, {m, m, m})}, {}),
            "cannot serialize node 1: stage member count 3 exceeds the blob field limit of 2");
  StageOp wide{"x", {StageRef::Input(0), StageRef::Input(0), StageRef::Input(0)}};
  EXPECT_EQ(message({s, NodeKey::Stage({0}, {wide})}, {}),
            "cannot serialize node 1: stage argument count 3 exceeds the blob field limit of 2");
  StageOp far{"x", {StageRef::Input(3)}};
  EXPECT_EQ(message({s, NodeKey::Stage({0}, {far})}, {}),
            "cannot serialize node 1: stage argument index 3 exceeds the blob field limit of 2");
  // At the limit everything fits.
  EXPECT_EQ(message({s, NodeKey::Op("ab", {0, 0})}, {1, 1}), "<written>");
}

// A stage argument index is a u64 in memory but a u32 on disk: the real 32-bit
// check, reached without gigabytes of data.
TEST(BlobWrite, StageArgumentIndexAbove32BitsIsRefused) {
  GraphStore store;
  intern_ok(store, NodeKey::Source("s"));
  intern_ok(store, NodeKey::Stage({0}, {StageOp{"op|a", {StageRef::Input(uint64_t{1} << 32)}}}));
  auto blob = serialize_with(store, {});
  ASSERT_FALSE(blob.ok());
  EXPECT_EQ(blob.error().message,
            "cannot serialize node 1: stage argument index 4294967296 exceeds the blob field limit "
            "of 4294967295");
}

// --------------------------------------------------------------- round trips

TEST(BlobRoundTrip, SeedsKeepIdsAndRewriteIdentically) {
  for (const auto& seed : blob_seeds::all()) {
    SCOPED_TRACE(seed.name);
    auto store = read_ok(seed.bytes);
    EXPECT_EQ(write(*store, store->outputs()), seed.bytes);
    EXPECT_TRUE(store->node_map().empty());
  }
}

TEST(BlobRoundTrip, EveryNodeKeepsItsIdAndTheMarksTheirOrder) {
  GraphStore store;
  intern_ok(store, NodeKey::Source("s"));
  intern_ok(store, NodeKey::Op("f", {0}));
  intern_ok(store, NodeKey::Op("f", {1, 0}));
  intern_ok(store, NodeKey::Join({2, 1}));
  intern_ok(store, NodeKey::Exchange({3}));
  for (NodeId id : {3, 1, 4}) ASSERT_TRUE(store.mark_output(id).ok());
  const Bytes blob = write(store, store.outputs());
  auto back = read_ok(blob);
  EXPECT_EQ(back->snapshot().nodes, store.snapshot().nodes);
  EXPECT_EQ(back->outputs(), (std::vector<NodeId>{3, 1, 4}));
  EXPECT_EQ(write(*back, back->outputs()), blob);
}

TEST(BlobRoundTrip, UnsortedParamsReadAsTheSortedMap) {
  // b=1, a=2, a=1: sorted stably to a=2, a=1, b=1.
  const Bytes blob = BlobBuilder::header(1)
                         .u8(0).str("x").u32(3)
                         .str("b").u8(0).u64(1)
                         .str("a").u8(0).u64(2)
                         .str("a").u8(0).u64(1)
                         .u32(0)
                         .b;
  auto nodes = read_ok(blob)->snapshot().nodes.keys();
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0], NodeKey::Source("x", ParamMap({{"b", ParamValue::Int(1)},
                                                     {"a", ParamValue::Int(2)},
                                                     {"a", ParamValue::Int(1)}})));
  EXPECT_EQ(nodes[0].params().token(), "a=i2;a=i1;b=i1");
}

TEST(BlobRoundTrip, LenientBytesReadAsTheirMeaning) {
  // A bool byte of 7 is true; a presence byte of 2 means present.
  const Bytes blob = BlobBuilder::header(2)
                         .u8(0).str("x").u32(1).str("t").u8(2).u8(7)
                         .u8(3).str("k").str("h").str("f").str("v").str("io").u8(2).str("p")
                         .u32(0).u32(1).u64(0)
                         .u32(0)
                         .b;
  auto nodes = read_ok(blob)->snapshot().nodes.keys();
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_TRUE(nodes[0].params().pairs()[0].second.as_bool());
  EXPECT_EQ(nodes[1].as<ExternalNode>().descriptor->preprocessing_ref, "p");
}

TEST(BlobRoundTrip, TrailingBytesAreIgnored) {
  for (const auto& seed : blob_seeds::all()) {
    Bytes longer = seed.bytes;
    longer.insert(longer.end(), {0xFF, 0x00, 0x07});
    EXPECT_EQ(write(*read_ok(longer), read_ok(longer)->outputs()), seed.bytes) << seed.name;
  }
}

// ------------------------------------------------------------------- errors

// The writer never repeats a record. Read anyway, the repeat would take the
// earlier node's id and shift every later index onto the wrong node (here the
// neg of record 1 would read as neg(b)); the repeated record is refused.
TEST(BlobRead, RepeatedRecordIsNoNode) {
  auto records = [](uint32_t n) {
    return BlobBuilder::header(n).source("a").source("a").source("b").u8(1).str("neg").u32(0)
        .u32(1).u64(1);
  };
  const Bytes neg_of_b = records(4).u32(0).b;
  const Bytes last_marked = records(4).u32(1).u64(3).b;
  const Bytes only_repeat = BlobBuilder::header(2).source("a").source("a").u32(0).b;
  for (const Bytes& blob : {neg_of_b, last_marked, only_repeat}) {
    auto e = deserialize(blob);
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error(), (DecodeError{DecodeError::Kind::kBadReference, {}, 1}));
  }
}

TEST(BlobRead, HeaderChecks) {
  EXPECT_EQ(read_error({}), kTruncated);
  EXPECT_EQ(read_error({'V'}), kTruncated);
  EXPECT_EQ(read_error({'V', 'I', 'R'}), kTruncated);
  EXPECT_EQ(read_error({'V', 'I', 'R', '2'}), kBadMagic);
  EXPECT_EQ(read_error({'v', 'i', 'r', '1', 0, 0, 0, 0, 0, 0, 0, 0}), kBadMagic);
  EXPECT_EQ(read_error({'P', 'K', 3, 4, 5}), kBadMagic);
  Bytes magic{'V', 'I', 'R', '1'};
  for (int extra = 0; extra < 4; ++extra) {
    EXPECT_EQ(read_error(magic), kTruncated) << magic.size();
    magic.push_back(0);
  }
  // The empty blob minus its output count.
  EXPECT_EQ(read_error(magic), kTruncated);
}

TEST(BlobRead, EveryStrictPrefixOfAValidBlobIsTruncated) {
  for (const auto& seed : blob_seeds::all()) {
    for (std::size_t n = 0; n < seed.bytes.size(); ++n) {
      ASSERT_EQ(read_error(Bytes(seed.bytes.begin(), seed.bytes.begin() + n)), kTruncated)
          << seed.name << " cut to " << n << " bytes";
    }
  }
}

TEST(BlobRead, InvalidTags) {
  EXPECT_EQ(read_error(BlobBuilder::header(1).u8(7).b), "invalid node tag 7");
  EXPECT_EQ(read_error(BlobBuilder::header(1).u8(255).b), "invalid node tag 255");
  EXPECT_EQ(read_error(BlobBuilder::header(1).u8(0).str("x").u32(1).str("p").u8(4).b),
            "invalid param tag 4");
  EXPECT_EQ(read_error(BlobBuilder::header(2)
                           .source("s")
                           .u8(4).u32(1).u64(0).u32(1).str("op|a").u32(1).u8(2).u32(0)
                           .b),
            "invalid stage-ref tag 2");
}

TEST(BlobRead, ReferencesMustPointBackwards) {
  // Node 5 naming itself.
  BlobBuilder five = BlobBuilder::header(6);
  for (char c : std::string("abcde")) five.source(std::string(1, c));
  EXPECT_EQ(read_error(five.u8(1).str("f").u32(0).u32(2).u64(4).u64(5).u32(0).b),
            "node reference 5 out of range");
  // Every input-bearing kind checks its inputs.
  for (uint8_t tag : {1, 2, 5, 6}) {
    BlobBuilder b = BlobBuilder::header(2).source("s").u8(tag);
    if (tag <= 2) b.str("f");
    EXPECT_EQ(read_error(b.u32(0).u32(1).u64(9).u32(0).b), "node reference 9 out of range")
        << int(tag);
  }
  EXPECT_EQ(read_error(BlobBuilder::header(2)
                           .source("s")
                           .u8(3).str("k").str("h").str("f").str("v").str("io").u8(0)
                           .u32(0).u32(1).u64(1)
                           .b),
            "node reference 1 out of range");
  EXPECT_EQ(read_error(BlobBuilder::header(1).source("s").u32(1).u64(1).b),
            "node reference 1 out of range");
  EXPECT_EQ(read_error(BlobBuilder::header(1).source("s").u32(2).u64(0).u64(~uint64_t{0}).b),
            "node reference 18446744073709551615 out of range");
}

BlobBuilder stage_with_arg(uint32_t inputs, uint8_t member_count_before, uint8_t tag,
                           uint32_t k) {
  BlobBuilder b = BlobBuilder::header(2).source("s").u8(4).u32(inputs);
  for (uint32_t i = 0; i < inputs; ++i) b.u64(0);
  b.u32(member_count_before + 1u);
  for (uint8_t j = 0; j < member_count_before; ++j) b.str("op|a").u32(1).u8(0).u32(0);
  return b.str("op|b").u32(1).u8(tag).u32(k);
}

TEST(BlobRead, StageReferences) {
  // Member(k) must name an earlier member of the same stage.
  EXPECT_EQ(read_error(stage_with_arg(1, 0, 1, 0).b), "node reference 0 out of range");
  EXPECT_EQ(read_error(stage_with_arg(1, 2, 1, 2).b), "node reference 2 out of range");
  EXPECT_EQ(read_error(stage_with_arg(1, 2, 1, 7).b), "node reference 7 out of range");
  EXPECT_EQ(read_ok(stage_with_arg(1, 2, 1, 1).u32(0).b)->node_count(), 2u);
  // Input(k) must name one of the stage's own inputs.
  EXPECT_EQ(read_error(stage_with_arg(2, 0, 0, 2).b), "node reference 2 out of range");
  EXPECT_EQ(read_error(stage_with_arg(0, 0, 0, 0).b), "node reference 0 out of range");
  EXPECT_EQ(read_ok(stage_with_arg(2, 0, 0, 1).u32(0).b)->node_count(), 2u);
}

TEST(BlobRead, OutputsMustBeNodes) {
  EXPECT_EQ(read_error(BlobBuilder::header(2).source("a").source("b").u32(1).u64(2).b),
            "node reference 2 out of range");
  EXPECT_EQ(read_error(BlobBuilder::header(0).u32(1).u64(0).b), "node reference 0 out of range");
}

TEST(BlobRead, InvalidUtf8InEveryStringPosition) {
  const std::string bad = "a\xC0\xAF";  // an overlong "/"
  EXPECT_EQ(read_error(BlobBuilder::header(1).u8(0).str(bad).b), kBadUtf8);
  EXPECT_EQ(read_error(BlobBuilder::header(1).u8(0).str("x").u32(1).str(bad).b), kBadUtf8);
  EXPECT_EQ(read_error(BlobBuilder::header(1).u8(0).str("x").u32(1).str("p").u8(3).str(bad).b),
            kBadUtf8);
  for (int field = 0; field < 6; ++field) {
    BlobBuilder b = BlobBuilder::header(1).u8(3);
    for (int f = 0; f < 5; ++f) b.str(f == field ? bad : "ok");
    b.u8(1).str(field == 5 ? bad : "ok").u32(0).u32(0).u32(0);
    EXPECT_EQ(read_error(b.b), kBadUtf8) << "descriptor field " << field;
  }
  EXPECT_EQ(read_error(BlobBuilder::header(2).source("s").u8(4).u32(1).u64(0).u32(1).str(bad).b),
            kBadUtf8);
}

// The reader reports the first problem in reading order, even when a later
// one (often running out of bytes) is also there.
TEST(BlobRead, FirstProblemInReadingOrderWins) {
  // A bad input id before the inputs run out.
  EXPECT_EQ(read_error(BlobBuilder::header(2).source("s").u8(1).str("f").u32(0).u32(1000).u64(99).b),
            "node reference 99 out of range");
  // Bad UTF-8 in the name before a bad param tag.
  EXPECT_EQ(read_error(BlobBuilder::header(1).u8(0).str("\xFF").u32(1).str("p").u8(9).b), kBadUtf8);
  // A param tag is judged before its value bytes are looked for.
  EXPECT_EQ(read_error(BlobBuilder::header(1).u8(0).str("x").u32(1).str("p").u8(9).b),
            "invalid param tag 9");
  // A string is only validated once all its bytes are there.
  EXPECT_EQ(read_error(BlobBuilder::header(1).u8(0).u32(10).u8(0xFF).b), kTruncated);
  // A stage argument needs its five bytes before its tag is judged.
  EXPECT_EQ(read_error(BlobBuilder::header(2)
                           .source("s").u8(4).u32(1).u64(0).u32(1).str("op|a").u32(1).u8(2).u8(0)
                           .b),
            kTruncated);
  // Member(k) is checked as it is read, before the node's later members.
  EXPECT_EQ(read_error(BlobBuilder::header(2)
                           .source("s").u8(4).u32(1).u64(0).u32(5).str("op|a").u32(1).u8(1).u32(3)
                           .b),
            "node reference 3 out of range");
  // Node tag before anything of the record.
  EXPECT_EQ(read_error(BlobBuilder::header(2).u8(9).b), "invalid node tag 9");
  // A bad output id before the output list runs out.
  EXPECT_EQ(read_error(BlobBuilder::header(1).source("s").u32(3).u64(5).b),
            "node reference 5 out of range");
  // Magic before length.
  EXPECT_EQ(read_error({'X', 'I', 'R', '1'}), kBadMagic);
}

// Counts are not trusted: each of these announces far more than the bytes
// hold and must end as truncated without reserving for the announced number.
TEST(BlobRead, HugeCountsAreTruncatedWithoutReserving) {
  const uint32_t huge = 0xFFFFFFFF;
  EXPECT_EQ(read_error(BlobBuilder::header(huge).b), kTruncated);
  EXPECT_EQ(read_error(BlobBuilder::header(huge).source("a").source("b").b), kTruncated);
  EXPECT_EQ(read_error(BlobBuilder::header(1).u8(0).u32(huge).u8('x').b), kTruncated);
  EXPECT_EQ(read_error(BlobBuilder::header(1).u8(0).str("x").u32(huge).b), kTruncated);
  EXPECT_EQ(read_error(BlobBuilder::header(1).u8(0).str("x").u32(huge).str("").u8(2).u8(1).b),
            kTruncated);
  EXPECT_EQ(read_error(BlobBuilder::header(2).source("s").u8(1).str("f").u32(0).u32(huge).u64(0).b),
            kTruncated);
  EXPECT_EQ(read_error(BlobBuilder::header(2).source("s").u8(4).u32(1).u64(0).u32(huge).b),
            kTruncated);
  EXPECT_EQ(read_error(BlobBuilder::header(2)
                           .source("s").u8(4).u32(1).u64(0).u32(1).str("op|a").u32(huge)
                           .u8(0).u32(0)
                           .b),
            kTruncated);
  EXPECT_EQ(read_error(BlobBuilder::header(1).source("s").u32(huge).u64(0).b), kTruncated);
}

// The error value carries its kind, item and number, not only its text.
TEST(BlobRead, ErrorsCarryTheirParts) {
  auto e = deserialize(BlobBuilder::header(1).u8(0).str("x").u32(1).str("p").u8(4).b);
  ASSERT_FALSE(e.ok());
  EXPECT_EQ(e.error(), (DecodeError{DecodeError::Kind::kInvalidTag, "param", 4}));
  auto r = deserialize(BlobBuilder::header(1).source("s").u32(1).u64(12).b);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), (DecodeError{DecodeError::Kind::kBadReference, {}, 12}));
}

// A deterministic sweep of what the fuzzer does at random: every byte of every
// seed set to a few telling values. Each result is a store that rewrites
// stably, or an error.
TEST(BlobRead, EverySingleByteMutationDecodesOrFailsCleanly) {
  for (const auto& seed : blob_seeds::all()) {
    // The chain repeats itself after its first records.
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
        auto again = deserialize(once);
        ASSERT_TRUE(again.ok()) << seed.name << " byte " << at << " = " << int(v);
        EXPECT_EQ((*again)->snapshot().nodes, (*store)->snapshot().nodes);
        EXPECT_EQ(write(**again, (*again)->outputs()), once);
      }
    }
  }
}

// ----------------------------------------------------------------- UTF-8

// An independent statement of well-formed UTF-8: decode by the bit layout,
// then require the shortest form, no surrogate and at most U+10FFFF.
bool reference_utf8(const uint8_t* s, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    const uint8_t b = s[i];
    std::size_t len = b < 0x80 ? 1 : b >= 0xC0 && b < 0xE0 ? 2 : b >= 0xE0 && b < 0xF0 ? 3
                    : b >= 0xF0 && b < 0xF8 ? 4 : 0;
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

bool check(const Bytes& s) { return is_valid_utf8(s.data(), s.size()); }

// Every first and second byte; later bytes only matter as continuation or
// not. The 13-byte ASCII lead puts the sequence behind the word-at-a-time
// skip and straddling a word boundary.
TEST(Utf8, AgreesWithTheDefinitionOnShortSequences) {
  const uint8_t tails[] = {0x41, 0x80, 0xBF, 0xC0};
  uint8_t buf[32];
  for (std::size_t lead : {0, 13}) {
    std::fill(buf, buf + lead, 'a');
    uint8_t* s = buf + lead;
    auto agree = [&](std::size_t len) {
      return is_valid_utf8(buf, lead + len) == reference_utf8(buf, lead + len);
    };
    for (int a = 0; a < 256; ++a) {
      s[0] = static_cast<uint8_t>(a);
      ASSERT_TRUE(agree(1)) << a;
      for (int b = 0; b < 256; ++b) {
        s[1] = static_cast<uint8_t>(b);
        ASSERT_TRUE(agree(2)) << a << " " << b;
        for (uint8_t c : tails) {
          s[2] = c;
          ASSERT_TRUE(agree(3)) << a << " " << b << " " << int(c);
          for (uint8_t d : tails) {
            s[3] = d;
            ASSERT_TRUE(agree(4)) << a << " " << b << " " << int(c) << " " << int(d);
          }
        }
      }
    }
  }
}

TEST(Utf8, EveryScalarValueIsValidAndNothingElseIs) {
  auto encode = [](uint32_t cp) {
    if (cp < 0x80) return Bytes{static_cast<uint8_t>(cp)};
    if (cp < 0x800) return Bytes{uint8_t(0xC0 | cp >> 6), uint8_t(0x80 | (cp & 0x3F))};
    if (cp < 0x10000) {
      return Bytes{uint8_t(0xE0 | cp >> 12), uint8_t(0x80 | (cp >> 6 & 0x3F)),
                   uint8_t(0x80 | (cp & 0x3F))};
    }
    return Bytes{uint8_t(0xF0 | cp >> 18), uint8_t(0x80 | (cp >> 12 & 0x3F)),
                 uint8_t(0x80 | (cp >> 6 & 0x3F)), uint8_t(0x80 | (cp & 0x3F))};
  };
  for (uint32_t cp = 0; cp < 0x200000; ++cp) {
    const bool scalar = cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
    ASSERT_EQ(check(encode(cp)), scalar) << std::hex << cp;
  }
  // Overlong forms of "/" and of U+FFFF.
  EXPECT_FALSE(check({0xC0, 0xAF}));
  EXPECT_FALSE(check({0xE0, 0x80, 0xAF}));
  EXPECT_FALSE(check({0xF0, 0x80, 0x80, 0xAF}));
  EXPECT_FALSE(check({0xF0, 0x8F, 0xBF, 0xBF}));
  // Past the ASCII fast path, a bad byte at every offset of a word.
  for (std::size_t at = 0; at < 17; ++at) {
    Bytes s(17, 'a');
    s[at] = 0x80;
    EXPECT_FALSE(check(s)) << at;
  }
}

// --------------------------------------------------------------- corpus

// The committed seed corpus is exactly what the seed list writes, and each
// file reads back and rewrites to itself.
TEST(BlobCorpus, CommittedSeedsMatchTheSeedList) {
  const auto dir = std::filesystem::path(__FILE__).parent_path() / ".." / "fuzz" / "corpus" / "blob";
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no corpus at " << dir;
  for (const auto& seed : blob_seeds::all()) {
    std::ifstream in(dir / seed.name, std::ios::binary);
    ASSERT_TRUE(in) << seed.name << " is missing; run blob_fuzz --write-corpus=" << dir.string();
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(file, seed.bytes) << seed.name;
  }
}

// Three ways make a key ready for interning: from a NodeKey (builders), from
// another arena's node (the incremental reducer) and from blob bytes. On
// random keys of every kind they must agree, or equal nodes would be stored
// twice: a read store holds each key once, and every view prepares to the
// hash its NodeKey prepares to.
TEST(BlobRoundTrip, KeysPreparedEveryWayAgree) {
  std::mt19937 rng(12);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
  const std::vector<std::string> texts = {"", "a", "b", "x|y", "h\xC3\xA9", "a"};
  auto params = [&] {
    std::vector<Param> pairs;
    for (int k = pick(4); k > 0; --k) {
      const std::string name = texts[pick(6)];
      switch (pick(5)) {
        case 0: pairs.emplace_back(name, ParamValue::Int(pick(3) - 1)); break;
        case 1: pairs.emplace_back(name, ParamValue::Float(pick(2) ? -0.0 : 0.5)); break;
        case 2:
          pairs.emplace_back(name, ParamValue::Float(std::bit_cast<double>(0x7FF0000000000001ULL + pick(3))));
          break;
        case 3: pairs.emplace_back(name, ParamValue::Bool(pick(2) == 1)); break;
        default: pairs.emplace_back(name, ParamValue::Str(texts[pick(6)])); break;
      }
    }
    return ParamMap(std::move(pairs));
  };
  GraphStore store;
  for (int i = 0; i < 400; ++i) {
    const uint64_t n = store.node_count();
    Inputs in;
    for (int k = n == 0 ? 0 : pick(3); k > 0; --k) in.push_back(rng() % n);
    NodeKey key = NodeKey::Source(texts[pick(6)], params());
    switch (n == 0 ? 0 : pick(7)) {
      case 1: key = NodeKey::Op(texts[pick(6)], in, params()); break;
      case 2: key = NodeKey::Reduction(texts[pick(6)], in, params()); break;
      case 3: {
        PayloadDescriptor d{texts[pick(6)], texts[pick(6)], "f", "v", texts[pick(6)], std::nullopt};
        if (pick(2)) d.preprocessing_ref = texts[pick(6)];
        key = NodeKey::External(d, in, params());
        break;
      }
      case 4:
        if (!in.empty()) {
          key = NodeKey::Stage(in, {StageOp{texts[pick(6)], {StageRef::Input(0)}},
                                    StageOp{"op|f", {StageRef::Member(0), StageRef::Input(0)}}});
        }
        break;
      case 5: key = NodeKey::Exchange(in, params()); break;
      case 6: key = NodeKey::Join(in, params()); break;
      default: break;
    }
    ASSERT_TRUE(store.intern(key).ok());
  }
  const NodesView nodes = store.snapshot().nodes;
  for (const NodeView node : nodes) {
    const Inputs in(node.inputs().begin(), node.inputs().end());
    EXPECT_EQ(node.prepare(in).hash, NodeArena::prepare(node.to_key()).hash);
  }
  auto back = deserialize(write(store, {}));
  ASSERT_TRUE(back.ok());
  GraphStore& read = **back;
  for (uint64_t i = 0; i < nodes.size(); ++i) EXPECT_EQ(read.intern(nodes[i].to_key()).value(), i);
  EXPECT_EQ(read.node_count(), nodes.size());
}

}  // namespace
}  // namespace velmora
