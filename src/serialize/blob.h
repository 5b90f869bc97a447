// The IR blob: the canonical, versioned little-endian byte form of a store
// ("VIR1", the nodes in id order, then the output ids), its writer and its
// checking reader.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "base/result.h"
#include "node/node.h"
#include "store/store.h"

namespace velmora {

struct DecodeError {
  enum class Kind : uint8_t { kBadMagic, kTruncated, kInvalidTag, kInvalidUtf8, kBadReference };
  Kind kind = Kind::kTruncated;
  std::string item;  // kInvalidTag: "node", "param" or "stage-ref"
  uint64_t value = 0;  // kInvalidTag: the tag byte; kBadReference: the number

  // "truncated velmora IR blob", "invalid node tag 9", ...
  [[nodiscard]] std::string message() const;
  friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

// A count or length that does not fit its 32-bit field.
struct EncodeError {
  std::string message;
};

// Writes the store's nodes (one snapshot) and exactly `outputs`.
[[nodiscard]] Result<std::vector<uint8_t>, EncodeError> serialize_with(
    const GraphStore& store, const std::vector<NodeId>& outputs);

[[nodiscard]] Result<std::unique_ptr<GraphStore>, DecodeError> deserialize(
    std::span<const uint8_t> data);

}  // namespace velmora
