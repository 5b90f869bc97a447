// Valid blobs seeding the blob fuzzer: every node kind and param type, NaN
// payloads, empty and absent optional strings, both stage references, and
// twins (records one byte away from an earlier record's node). They are the
// committed corpus (`blob_fuzz --write-corpus=DIR`; the tests check).
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "../cpp/ids_for_test.h"
#include "base/panic.h"
#include "serialize/blob.h"

namespace velmora::blob_seeds {

struct Seed {
  std::string name;  // the corpus file name
  std::vector<uint8_t> bytes;
};

// Distinct nodes in id order, written with every field bounded by `field_max`.
inline Result<std::vector<uint8_t>, EncodeError> encode_nodes(const std::vector<NodeKey>& nodes,
                                                              const std::vector<NodeId>& outputs,
                                                              uint64_t field_max = kBlobFieldMax) {
  GraphStore store;
  for (const NodeKey& key : nodes) {
    if (store.intern(key).value().value() + 1 != store.node_count()) panic("seed nodes are distinct");
  }
  auto blob = encode_blob(store.snapshot().nodes, outputs, field_max);
  if (!blob) return Err(blob.error());
  return blob->bytes();
}

inline std::vector<Seed> all() {
  auto seed = [](std::string name, const std::vector<NodeKey>& nodes, const std::vector<NodeId>& outputs) {
    return Seed{std::move(name), encode_nodes(nodes, outputs).value()};
  };
  auto descriptor = [](std::optional<std::string> ref) {
    return PayloadDescriptor{"onnx", "sha256:ab12", "torch", "2.3", "f32[n]->f32[n]", std::move(ref)};
  };
  const double odd_nan = std::bit_cast<double>(uint64_t{0xFFF0000000000123ULL});
  const ParamMap every_value({{"i", ParamValue::Int(-9)}, {"f", ParamValue::Float(odd_nan)},
                              {"z", ParamValue::Float(-0.0)}, {"b", ParamValue::Bool(true)},
                              {"s", ParamValue::Str("h\xC3\xA9llo \xF0\x9F\x98\x80 %|;=")},
                              {"s", ParamValue::Str("")}});
  std::vector<NodeKey> chain{NodeKey::Source("s")};  // long, with fan-out, for mutations to work on
  for (uint64_t i = 1; i < 40; ++i) {
    ParamMap p({{"n", ParamValue::Int(static_cast<int64_t>(i))}});
    chain.push_back(i % 3 == 0 ? NodeKey::Join(ids(i - 1, i / 2), p) : NodeKey::Op("f", ids(i - 1), p));
  }
  // Each odd record is a byte from its even twin's node (a bool, inf to a NaN, a
  // text, in keys that repeat a text); the last has 20 params of three names.
  auto of = [](std::string name, ParamValue v) { return ParamMap({{std::move(name), std::move(v)}}); };
  std::vector<Param> many;
  for (int i = 0; i < 20; ++i) many.emplace_back(std::string(1, "abc"[i * 7 % 3]), ParamValue::Int(i));
  const std::vector<NodeKey> twins = {
      NodeKey::Source("t", of("b", ParamValue::Bool(true))), NodeKey::Source("t", of("b", ParamValue::Bool(false))),
      NodeKey::Source("t", of("v", ParamValue::Float(std::bit_cast<double>(uint64_t{0x7FF8000000000001ULL})))),
      NodeKey::Source("t", of("v", ParamValue::Float(std::bit_cast<double>(uint64_t{0x7FF0000000000000ULL})))),
      NodeKey::Op("n", ids(0), of("n", ParamValue::Str("n"))), NodeKey::Op("n", ids(0), of("n", ParamValue::Str("m"))),
      NodeKey::External({"x", "x", "x", "x", "x", "x"}, ids(0)), NodeKey::External({"x", "x", "x", "x", "x", "y"}, ids(0)),
      NodeKey::Stage(ids(0), {{"op|m", {StageRef::Input(0)}}, {"op|m", {StageRef::Member(0)}}}),
      NodeKey::Stage(ids(0), {{"op|m", {StageRef::Input(0)}}, {"op|n", {StageRef::Member(0)}}}),
      NodeKey::Source("w", ParamMap(many))};
  return {
      seed("empty", {}, {}),
      seed("scale", {NodeKey::Source("x"), NodeKey::Op("scale", ids(0), ParamMap({{"k", ParamValue::Int(3)}}))}, ids(1)),
      seed("every_kind",
           {NodeKey::Source("rows", every_value),                                                    // 0
            NodeKey::Op("add", ids(0, 0), ParamMap({{"side", ParamValue::Str("r")}, {"scalar", ParamValue::Float(0.0)}})),
            NodeKey::Reduction("sum", ids(1), ParamMap({{"axis", ParamValue::Int(0)}})),               // 2
            NodeKey::External(descriptor(std::nullopt), ids(2)), NodeKey::External(descriptor(""), ids(2)),
            NodeKey::External(descriptor("norm-v1"), ids(3, 4), ParamMap({{"batch", ParamValue::Int(64)}})),  // 5
            NodeKey::Stage(ids(1, 5), {StageOp{"op|neg", {StageRef::Input(0)}},
                                    StageOp{"op|mul|scalar=f3ff0000000000000;side=sl",
                                            {StageRef::Member(0), StageRef::Input(1)}},
                                    StageOp{"op|abs", {StageRef::Member(1)}}}),
            NodeKey::Exchange(ids(6), ParamMap({{"scheme", ParamValue::Str("hash")}})), NodeKey::Exchange(ids(6)),
            NodeKey::Join(ids(7, 8), ParamMap({{"how", ParamValue::Str("inner")}})), NodeKey::Join({})},  // 9, 10
           ids(9, 2, 10)),
      seed("chain", chain, ids(39, 20)),
      seed("twins", twins, ids(10, 4)),
  };
}

}  // namespace velmora::blob_seeds
