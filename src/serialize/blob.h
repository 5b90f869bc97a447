// The IR blob: the canonical, versioned little-endian byte form of a store
// ("VIR1", the nodes in id order, then the output ids), its writer and its
// checking reader.
#pragma once

#include <cstddef>
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

// The largest count, length or stage argument index a 32-bit field holds.
inline constexpr uint64_t kBlobFieldMax = 0xFFFFFFFFULL;

// A written blob: its bytes in the chunks the writer filled, in order. A
// caller copies them once to where they go (a Python bytes object) rather
// than the writer joining them first.
class Blob {
 public:
  struct Chunk {
    std::unique_ptr<uint8_t[]> data;
    std::size_t size;
  };
  Blob() = default;
  explicit Blob(std::vector<Chunk> chunks);

  [[nodiscard]] std::size_t size() const { return size_; }
  // Copies the bytes to `out`, which has room for `size()` of them.
  void copy_to(uint8_t* out) const;
  // The bytes in one piece.
  [[nodiscard]] std::vector<uint8_t> bytes() const;

 private:
  std::vector<Chunk> chunks_;
  std::size_t size_ = 0;
};

// Writes the store's nodes (one snapshot) and exactly `outputs`, order and
// duplicates kept. Fails only when something does not fit its 32-bit field.
[[nodiscard]] Result<Blob, EncodeError> serialize_with(const GraphStore& store,
                                                       const std::vector<NodeId>& outputs);

// The same encoding over a node list already in id order. `field_max` bounds
// every count, length and stage argument index; serialize_with passes
// kBlobFieldMax, and a smaller bound lets tests reach the overflow checks
// without gigabytes of data.
[[nodiscard]] Result<Blob, EncodeError> encode_blob(
    const NodesView& nodes, const std::vector<NodeId>& outputs,
    uint64_t field_max = kBlobFieldMax);

// Appends the params section of one map: its count, then name, value tag and
// value per pair, in the map's order.
[[nodiscard]] Status<EncodeError> put_params(std::vector<uint8_t>& out, const ParamMap& params,
                                             uint64_t field_max = kBlobFieldMax);

// A new store with record i as node i. A record that repeats an earlier one
// would intern to that node's id, so it is refused as BadReference i.
[[nodiscard]] Result<std::unique_ptr<GraphStore>, DecodeError> deserialize(
    std::span<const uint8_t> data);

}  // namespace velmora
