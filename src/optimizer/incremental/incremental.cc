#include "optimizer/incremental/incremental.h"

#include <array>
#include <string_view>
#include <utility>

#include "absl/hash/hash.h"
#include "base/panic.h"

namespace velmora {
namespace {

constexpr std::array<std::string_view, 4> kIdentityTokens = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};

constexpr std::array<std::string_view, 8> kCommutative = {"add", "mul",     "and",    "or",
                                                          "eq",  "maximum", "minimum", "ne"};

// An identity op stands for its operand, so it needs exactly one: with none or
// several, dropping it would lose the other inputs' computation.
bool is_identity(const NodeKey& key) {
  if (!key.is_op() || key.inputs().size() != 1 || key.params().size() != 2) return false;
  const std::string_view name = key.name();
  if (name != "add" && name != "mul") return false;  // cheap filter before the token
  const std::string token = key.token();
  for (std::string_view t : kIdentityTokens) {
    if (token == t) return true;
  }
  return false;
}

bool is_commutative(const NodeKey& key) {
  if (!key.is_op() || key.inputs().size() != 2 || !key.params().empty()) return false;
  for (std::string_view n : kCommutative) {
    if (key.name() == n) return true;
  }
  return false;
}

}  // namespace

IncrementalReducer::IncrementalReducer()
    : hashcons_(make_arena_index(canonical_form_)) {}

std::optional<uint64_t> IncrementalReducer::hashcons(const NodeKey& key) const {
  auto it = hashcons_.find(key);
  if (it == hashcons_.end()) return std::nullopt;
  return *it;
}

uint64_t IncrementalReducer::intern(NodeKey candidate) {
  if (auto it = hashcons_.find(candidate); it != hashcons_.end()) return *it;
  const uint64_t id = canonical_form_.size();
  canonical_form_.push_back(std::move(candidate));
  try {
    hashcons_.insert(id);
  } catch (...) {
    canonical_form_.pop_back();  // keep the form and the table in step
    throw;
  }
  return id;
}

Result<uint64_t, BadNodeId> IncrementalReducer::step(const std::vector<NodeKey>& delta) {
  for (const NodeKey& node : delta) {
    const auto inputs = node.inputs();
    Inputs remapped;
    remapped.reserve(inputs.size());
    for (NodeId input : inputs) {
      if (input >= canonical_of_.size()) return Err(BadNodeId{input});
      remapped.push_back(canonical_of_[input]);
    }
    NodeKey candidate = node.with_inputs(std::move(remapped));
    uint64_t id;
    if (is_identity(candidate)) {
      id = candidate.inputs()[0];
    } else if (is_commutative(candidate)) {
      if (auto found = hashcons(candidate)) {
        id = *found;
      } else {
        const auto in = candidate.inputs();
        const NodeKey swapped = candidate.with_inputs({in[1], in[0]});
        if (auto found_swapped = hashcons(swapped)) {
          id = *found_swapped;
        } else {
          id = intern(std::move(candidate));
        }
      }
    } else {
      id = intern(std::move(candidate));
    }
    canonical_of_.push_back(id);
  }
  total_work_ += delta.size();
  return static_cast<uint64_t>(delta.size());
}

Result<Reduced, BadNodeId> IncrementalReducer::finalize(const std::vector<NodeId>& outputs,
                                                        const RewriteEngine& engine,
                                                        bool maximal_fusion) const {
  std::vector<NodeId> mapped;
  mapped.reserve(outputs.size());
  for (NodeId o : outputs) {
    if (o >= canonical_of_.size()) return Err(BadNodeId{o});
    mapped.push_back(canonical_of_[o]);
  }
  Reduced reduced = reduce_with_mode(canonical_form_, mapped, engine, maximal_fusion);
  NodeMap by_store(canonical_of_.size());
  for (uint64_t s = 0; s < canonical_of_.size(); ++s) {
    by_store[s] = at(reduced.node_map, canonical_of_[s]);
  }
  reduced.node_map = std::move(by_store);
  return reduced;
}

}  // namespace velmora
