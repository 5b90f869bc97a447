#include "optimizer/fusion.h"

#include <limits>
#include <string>
#include <utility>

#include "base/panic.h"

namespace velmora {
namespace {

// Node indices in the working tables: a graph has fewer than 2^32 - 1 nodes
// (store ids are 32-bit inside), and half-width tables halve what fusion touches.
using Index = uint32_t;
constexpr Index kNone = std::numeric_limits<Index>::max();
constexpr const char* kNoEntry = "no entry found for key";

// Consumers of every node as one flat list (a node reading an input twice is
// listed twice), in increasing consumer order.
struct Consumers {
  std::vector<uint64_t> offset;  // m + 1 entries
  std::vector<Index> list;

  [[nodiscard]] std::span<const Index> of(uint64_t i) const {
    return {list.data() + offset[i], list.data() + offset[i + 1]};
  }
};

Consumers consumers_of(const TemplateGraph& g) {
  const uint64_t m = g.size();
  Consumers c;
  c.offset.assign(m + 1, 0);
  for (uint64_t j = 0; j < m; ++j) {
    for (uint64_t child : g.children_of(j)) {
      if (child >= j) panic("stage fusion: child " + std::to_string(child) + " of node " +
                            std::to_string(j) + " is not an earlier node");
      ++c.offset[child + 1];
    }
  }
  for (uint64_t i = 0; i < m; ++i) c.offset[i + 1] += c.offset[i];
  c.list.resize(c.offset[m]);
  std::vector<uint64_t> fill(c.offset.begin(), c.offset.end() - 1);
  for (uint64_t j = 0; j < m; ++j) {
    for (uint64_t child : g.children_of(j)) c.list[fill[child]++] = j;
  }
  return c;
}

Index find_root(std::vector<Index>& parent, Index i) {
  Index root = i;
  while (parent[root] != root) root = parent[root];
  while (parent[i] != root) i = std::exchange(parent[i], root);
  return root;
}

// Single-use rule: an op joins its consumer's stage when that consumer is its
// one use, is itself an op, and the op is not an output.
std::vector<Index> single_use_keys(const std::vector<bool>& opaque, const Consumers& cons,
                                      const std::vector<bool>& is_output) {
  const uint64_t m = opaque.size();
  std::vector<Index> parent(m);
  for (uint64_t i = 0; i < m; ++i) parent[i] = i;
  for (uint64_t i = 0; i < m; ++i) {
    auto uses = cons.of(i);
    if (opaque[i] || uses.size() != 1 || is_output[i] || opaque[uses[0]]) continue;
    Index a = find_root(parent, static_cast<Index>(i));
    Index b = find_root(parent, uses[0]);
    if (a == b) continue;
    if (a < b) std::swap(a, b);
    parent[a] = b;  // links point from a larger to a smaller index
  }
  std::vector<Index> key(m);
  for (uint64_t i = 0; i < m; ++i) {
    key[i] = opaque[i] ? static_cast<Index>(i) : find_root(parent, static_cast<Index>(i));
  }
  return key;
}

// Maximal rule: an op joins the stage that all of its consumers share.
std::vector<Index> maximal_keys(const std::vector<bool>& opaque, const Consumers& cons,
                                   const std::vector<bool>& is_output) {
  const uint64_t m = opaque.size();
  std::vector<Index> key(m);
  for (uint64_t i = 0; i < m; ++i) key[i] = static_cast<Index>(i);
  for (uint64_t i = m; i-- > 0;) {
    auto uses = cons.of(i);
    if (opaque[i] || is_output[i] || uses.empty()) continue;
    bool all_ops = true;
    for (uint64_t c : uses) all_ops = all_ops && !opaque[c];
    if (!all_ops) continue;
    const uint64_t s = key[uses[0]];
    bool shared = true;
    for (uint64_t c : uses) shared = shared && key[c] == s;
    if (shared) key[i] = s;
  }
  return key;
}

}  // namespace

Fused stage_fusion(const TemplateGraph& graph, const TokenTemplates& templates,
                   bool maximal_fusion) {
  const uint64_t m = graph.size();
  if (m >= kNone) panic("graph too large for stage fusion: " + std::to_string(m) + " nodes");
  std::vector<bool> opaque(m);
  {
    std::vector<bool> opaque_template(graph.texts.size());
    for (std::size_t t = 0; t < graph.texts.size(); ++t) {
      opaque_template[t] = !graph.texts[t].starts_with("op|");
    }
    for (uint64_t i = 0; i < m; ++i) opaque[i] = opaque_template[static_cast<uint32_t>(graph.op[i])];
  }
  // The consumer lists are needed only to choose the stages: they are gone
  // before the new store grows.
  const std::vector<Index> key = [&] {
    const Consumers cons = consumers_of(graph);
    std::vector<bool> is_output(m, false);
    for (uint64_t o : graph.outputs) at(is_output, o) = true;
    return maximal_fusion ? maximal_keys(opaque, cons, is_output)
                          : single_use_keys(opaque, cons, is_output);
  }();

  // Groups as one flat list, members ascending; the last member of a group is
  // its largest, so walking nodes in order and emitting a group at its last
  // member gives the groups sorted by largest member.
  std::vector<Index> group_offset(m + 1, 0);
  for (uint64_t i = 0; i < m; ++i) ++group_offset[key[i] + 1];
  uint64_t groups = 0;
  for (uint64_t i = 0; i < m; ++i) {
    groups += group_offset[i + 1] != 0 ? 1 : 0;
    group_offset[i + 1] += group_offset[i];
  }
  std::vector<Index> members(m);
  {
    std::vector<Index> fill(group_offset.begin(), group_offset.end() - 1);
    for (uint64_t i = 0; i < m; ++i) members[fill[key[i]]++] = i;
  }

  Fused out;
  out.store = std::make_unique<GraphStore>();
  GraphStore& store = *out.store;
  store.reserve(groups);
  out.placement = PackedNodeMap(m);
  std::vector<Index> reduced_of(m, kNone);  // stage key -> its store id
  auto reduced_for = [&](uint64_t k) {
    const uint64_t r = reduced_of[k];
    if (r == kNone) panic(kNoEntry);
    return r;
  };
  auto emit = [&](const PreparedKey& p) {
    auto id = store.intern(p);
    if (!id.ok()) panic("reduced graph references only earlier nodes");
    ++out.emitted;
    return *id;
  };
  // Per-stage tables, reused across stages: a stamp says which stage set them.
  std::vector<Index> position(m, 0);  // member -> its number in its stage
  std::vector<Index> slot_stamp(m, kNone);
  std::vector<Index> slot_of(m, 0);
  std::vector<Index> input_keys;
  Inputs inputs;

  for (uint64_t i = 0; i < m; ++i) {
    const uint64_t k = key[i];
    if (members[group_offset[k + 1] - 1] != i) continue;  // not the group's last member
    inputs.clear();
    NodeId reduced_id = 0;
    if (opaque[k]) {
      for (uint64_t c : graph.children_of(k)) inputs.push_back(reduced_for(key[c]));
      const auto t = static_cast<uint32_t>(graph.op[k]);
      if (t >= templates.size() || !templates[t]) panic(kNoEntry);
      reduced_id = emit(templates[t]->prepare(inputs));
      ++out.boundary_nodes;
      out.placement.set(k, reduced_id, std::nullopt);
    } else {
      const uint64_t first = group_offset[k];
      const uint64_t count = group_offset[k + 1] - first;
      PreparedKey p;
      p.kind = NodeKey::Kind::kStage;
      p.texts.reserve(count);
      p.text_hashes.reserve(count);
      p.argc.reserve(count);
      input_keys.clear();
      for (uint64_t n = 0; n < count; ++n) {
        const uint64_t member = members[first + n];
        position[member] = n;
        p.add_text(graph.text(member));
        const auto kids = graph.children_of(member);
        p.argc.push_back(static_cast<uint32_t>(kids.size()));
        for (uint64_t c : kids) {
          if (key[c] == k) {
            p.refs.push_back(StageRef::Member(position[c]));
            continue;
          }
          const uint64_t producer = key[c];
          if (slot_stamp[producer] != k) {
            slot_stamp[producer] = k;
            slot_of[producer] = input_keys.size();
            input_keys.push_back(producer);
          }
          p.refs.push_back(StageRef::Input(slot_of[producer]));
        }
      }
      for (uint64_t producer : input_keys) inputs.push_back(reduced_for(producer));
      p.inputs = inputs;
      p.finish();
      reduced_id = emit(p);
      for (uint64_t n = 0; n < count; ++n) out.placement.set(members[first + n], reduced_id, n);
      ++out.stages;
    }
    reduced_of[k] = static_cast<Index>(reduced_id);
  }
  out.nodes = store.snapshot_from(0);

  out.outputs.reserve(graph.outputs.size());
  for (uint64_t o : graph.outputs) out.outputs.push_back(reduced_for(key[o]));
  return out;
}

}  // namespace velmora
