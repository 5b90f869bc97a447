#include "optimizer/fusion.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "base/hash_key.h"
#include "base/id_index.h"
#include "base/panic.h"
#include "base/text_hash.h"
#include "node/ids.h"

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
  std::vector<Index> offset;  // m + 1 entries; a graph has fewer than 2^32 children
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
  std::vector<Index> fill(c.offset.begin(), c.offset.end() - 1);
  for (uint64_t j = 0; j < m; ++j) {
    for (uint64_t child : g.children_of(j)) c.list[fill[child]++] = j;
  }
  return c;
}

// The number of member `c` of a group (ascending) in which it comes before
// the n-th. A member's number is its rank, so no per-node table is needed
// while the store grows. Children are mostly recent, so the search gallops
// back from n: O(log distance).
size_t rank_before(std::span<const Index> group, size_t n, uint64_t c) {
  size_t hi = n;  // every member from hi on is above c
  size_t step = 1;
  while (step <= hi && group[hi - step] > c) {
    hi -= step;
    step *= 2;
  }
  const size_t lo = step <= hi ? hi - step : 0;
  const auto it = std::lower_bound(group.begin() + lo, group.begin() + hi, c);
  if (it == group.begin() + hi || *it != c) panic("stage fusion: " + std::to_string(c) + " is no earlier member");
  return it - group.begin();
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

// Puts fusion's keys into the new store. A duplicate-free graph yields
// distinct keys but for one case: a Stage it carries through can equal one
// fused here, and only when each of its member texts is an op token of the
// graph (fused members are the graph's ops). Such carried stages, and fused
// stages of their members' shape, are matched against one another as they go
// in; every other key is appended without a lookup, and the store's closing
// index checks them distinct after all. Once two stages have met as one node,
// nodes reading them can meet too, so from then on every key is interned.
class Emitter {
 public:
  Emitter(StoreBuilder& store, const TemplateGraph& graph, const TokenTemplates& templates)
      : store_(store), may_match_(templates.size(), false) {
    IdIndex ops;  // the graph's op tokens, made only when a Stage is carried
    bool ops_made = false;
    for (uint32_t t = 0; t < templates.size(); ++t) {
      if (!kind_info(templates[t].kind()).has(Part::kMembers)) continue;
      for (uint32_t o = 0; !ops_made && o < graph.texts.size(); ++o) {
        if (!graph.opaque_templates[o]) ops.insert(text_hash(graph.texts[o]), o);
      }
      ops_made = true;
      if (ops.size() == 0) break;  // no op to fuse, so no stage to meet
      const PreparedKey members = templates[t].prepare({});
      bool all_ops = true;
      for (std::size_t j = 0; j < members.texts.size() && all_ops; ++j) {
        all_ops = IdIndex::found(ops.find(members.text_hashes[j], [&](uint32_t o) {
          return same_text(graph.texts[o], members.texts[j]);
        }));
      }
      if (!all_ops) continue;
      may_match_[t] = true;
      shapes_.insert(shape_hash(members), t);
    }
  }

  // Whether a carried node of template `t` may equal a fused stage.
  [[nodiscard]] bool carried_may_match(uint32_t t) const { return may_match_[t]; }
  // Whether fused stage `p` may equal a carried one.
  [[nodiscard]] bool fused_may_match(const PreparedKey& p) const {
    return shapes_.size() > 0 &&
           IdIndex::found(shapes_.find(shape_hash(p), [](uint32_t) { return true; }));
  }

  // The store id of `p`, which `may_match` says is one of the stages above.
  NodeId emit(const PreparedKey& p, bool may_match) {
    if (interning_) return checked(store_.intern(p));
    if (may_match) {
      const NodePos found(matched_.find(p.hash, [&](uint32_t id) { return same_stage(p, id); }));
      if (!found.is_none()) {
        finish();
        interning_ = true;
        return NodeId::at(found);
      }
    }
    const NodeId id = checked(store_.append(p));
    if (may_match) matched_.insert(p.hash, id.pos().word());
    return id;
  }

  // Indexes the keys appended so far.
  void finish() {
    if (store_.index_appended().has_value()) panic("stage fusion emitted one node twice");
  }

 private:
  // A stage's members by their texts' hashes, without its inputs: equal for
  // two stages that differ at most in their inputs.
  static uint32_t shape_hash(const PreparedKey& p) {
    KeyedMixer mix(kShapeDomain);
    std::size_t r = 0;
    for (std::size_t j = 0; j < p.argc.size(); ++j) {
      mix(p.text_hashes[j]);
      mix(p.argc[j]);
      for (uint32_t k = 0; k < p.argc[j]; ++k, ++r) {
        mix(static_cast<uint64_t>(p.refs[r].kind) << 62 ^ p.refs[r].index);
      }
    }
    return mix.hash32();
  }
  static NodeId checked(Result<NodeId, BadNodeId> id) {
    if (!id.ok()) panic("reduced graph references only earlier nodes");
    return *id;
  }
  bool same_stage(const PreparedKey& p, uint32_t id) const {
    const NodeView node = store_.nodes_from(NodeId(id))[0];
    const Inputs inputs = node.inputs().to_vector();
    const PreparedKey q = node.prepare(inputs);
    return std::ranges::equal(p.inputs, q.inputs) && std::ranges::equal(p.argc, q.argc) &&
           std::ranges::equal(p.refs, q.refs) && std::ranges::equal(p.texts, q.texts, same_text);
  }

  // Sets shapes apart from the keys the store hashes with the same key.
  static constexpr uint64_t kShapeDomain = 0x5A6E;

  StoreBuilder& store_;
  std::vector<bool> may_match_;  // per template
  IdIndex shapes_;  // the shapes of those templates' stages
  IdIndex matched_;  // the stages emitted that may match, by their keys' hashes
  bool interning_ = false;
};

}  // namespace

void check_fusion_size(uint64_t nodes) {
  if (nodes >= kNone) panic("graph too large for stage fusion: " + std::to_string(nodes) + " nodes");
}

Fused stage_fusion(TemplateGraph graph, const TokenTemplates& templates, bool maximal_fusion) {
  const uint64_t m = graph.size();
  check_fusion_size(m);
  if (graph.opaque_templates.size() != graph.texts.size()) panic("a template without its kind's column");
  std::vector<bool> opaque(m);
  for (uint64_t i = 0; i < m; ++i) opaque[i] = graph.opaque(i);
  // The consumer lists are needed only to choose the stages: they are gone
  // before the new store grows.
  std::vector<Index> key = [&] {
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
  for (uint64_t i = 0; i < m; ++i) group_offset[i + 1] += group_offset[i];
  std::vector<Index> members(m);
  {
    std::vector<Index> fill(group_offset.begin(), group_offset.end() - 1);
    for (uint64_t i = 0; i < m; ++i) members[fill[key[i]]++] = i;
  }

  Fused out;
  // Not reserved for the groups: nodes are appended unindexed, and an index
  // made now would be memory held through the largest stage's key for
  // nothing; the store sizes it when it indexes them at the end.
  StoreBuilder store;
  // Per node: its stage key and, once that stage is emitted, the stage's store
  // id. A child far back costs one cache miss for both.
  struct Landing {
    Index key;
    Index reduced;
  };
  std::vector<Landing> landing(m);
  for (uint64_t i = 0; i < m; ++i) landing[i] = {key[i], kNone};
  key = std::vector<Index>();
  auto reduced_for = [&](uint64_t node) {
    const uint64_t r = landing[node].reduced;
    if (r == kNone) panic(kNoEntry);
    return NodeId(r);
  };
  Emitter emitter(store, graph, templates);
  auto emit = [&](const PreparedKey& p, bool may_match) {
    ++out.emitted;
    return emitter.emit(p, may_match);
  };
  // A stage's inputs in order of first use, each with one node that lands in
  // it. Stages mostly have a few inputs, found by a scan; past kScan, an index
  // of this stage's inputs takes over, sized by what it holds rather than by
  // the graph, so that it costs nothing beside the store's growth.
  constexpr size_t kScan = 16;
  std::vector<Index> input_keys;
  std::vector<Index> input_nodes;
  std::optional<IdIndex> slots;  // positions in input_keys, past the scan
  auto input_slot = [&](Index producer, Index node) -> Index {
    const size_t count = input_keys.size();
    if (count <= kScan) {
      for (size_t s = 0; s < count; ++s) {
        if (input_keys[s] == producer) return static_cast<Index>(s);
      }
      if (count == kScan) {
        // Moving to the index: a fresh one, holding what the scan has seen.
        slots.emplace();
        for (size_t s = 0; s < count; ++s) slots->insert(hash_word(input_keys[s]), static_cast<Index>(s));
      }
    }
    if (count >= kScan) {
      const uint32_t hash = hash_word(producer);
      const uint32_t found = slots->find(hash, [&](uint32_t s) { return input_keys[s] == producer; });
      if (IdIndex::found(found)) return found;
      slots->insert(hash, static_cast<Index>(count));
    }
    input_keys.push_back(producer);
    input_nodes.push_back(node);
    return static_cast<Index>(count);
  };
  Inputs inputs;
  PreparedKey p;
  // Member texts repeat across stages: each template's is hashed once, and
  // once the new store holds it, its id there spares the store a lookup.
  struct MemberText {
    uint32_t hash = 0;
    TextId id;  // none until the store holds it
    bool hashed = false;
    bool queued = false;  // in unknown_texts
  };
  std::vector<MemberText> member_text(graph.texts.size());
  std::vector<TextId> text_ids;
  // Templates whose id is known: until there is one, a stage passes no ids,
  // and a large first stage keeps no table of nones.
  uint64_t known_texts = 0;
  // Templates of a stage whose id is not known yet, each once: a stage may
  // repeat one a member.
  std::vector<uint32_t> unknown_texts;

  constexpr uint64_t kAhead = 16;  // nodes whose children's entries load meanwhile
  for (uint64_t i = 0; i < m; ++i) {
    if (i + kAhead < m) {
      for (uint64_t c : graph.children_of(i + kAhead)) __builtin_prefetch(&landing[c]);
    }
    const Index k = landing[i].key;
    if (members[group_offset[k + 1] - 1] != i) continue;  // not the group's last member
    inputs.clear();
    NodeId reduced_id{};
    if (opaque[k]) {
      for (uint64_t c : graph.children_of(k)) inputs.push_back(reduced_for(c));
      const auto t = static_cast<uint32_t>(graph.op[k]);
      if (t >= templates.size()) panic(kNoEntry);
      reduced_id = emit(templates[t].prepare(inputs), emitter.carried_may_match(t));
      ++out.boundary_nodes;
    } else {
      const uint64_t first = group_offset[k];
      const uint64_t count = group_offset[k + 1] - first;
      // One key serves every stage, sized up front and filled in place: it
      // keeps what it grew, and no element passes through a temporary.
      size_t ref_count = 0;
      for (uint64_t n = 0; n < count; ++n) {
        const uint64_t member = members[first + n];
        ref_count += graph.child_begin[member + 1] - graph.child_begin[member];
      }
      p.kind = NodeKey::Kind::kStage;
      p.texts.resize(count);
      p.text_hashes.resize(count);
      p.argc.resize(count);
      p.refs.resize(ref_count);
      const bool pass_ids = known_texts != 0;
      if (pass_ids) text_ids.resize(count);
      unknown_texts.clear();
      input_keys.clear();
      input_nodes.clear();
      size_t r = 0;
      const auto group = std::span<const Index>(members).subspan(first, count);
      for (uint64_t n = 0; n < count; ++n) {
        const uint64_t member = group[n];
        const auto t = static_cast<uint32_t>(graph.op[member]);
        MemberText& text = member_text[t];
        p.texts[n] = graph.texts[t];
        if (!text.hashed) {
          text.hash = PreparedKey::hash_text(graph.texts[t]);  // a token may outgrow its name
          text.hashed = true;
        }
        p.text_hashes[n] = text.hash;
        if (pass_ids) text_ids[n] = text.id;
        if (text.id.is_none() && !text.queued) {
          text.queued = true;
          unknown_texts.push_back(t);
        }
        const auto kids = graph.children_of(member);
        p.argc[n] = PreparedKey::as_word(kids.size());
        for (uint64_t c : kids) {
          StageRef& ref = p.refs[r++];
          const Index producer = landing[c].key;
          if (producer == k) {
            ref.kind = StageRef::Kind::kMember;
            ref.index = static_cast<uint32_t>(rank_before(group, n, c));
          } else {
            ref.kind = StageRef::Kind::kInput;
            ref.index = input_slot(producer, static_cast<Index>(c));
          }
        }
      }
      for (Index node : input_nodes) inputs.push_back(reduced_for(node));
      p.inputs = inputs;
      p.text_ids = pass_ids ? text_ids.data() : nullptr;
      p.finish();
      reduced_id = emit(p, emitter.fused_may_match(p));
      for (uint32_t t : unknown_texts) {
        MemberText& text = member_text[t];
        text.id = store.find_text(graph.texts[t], text.hash);
        text.queued = false;
        if (!text.id.is_none()) ++known_texts;
      }
      for (Index member : group) landing[member].reduced = static_cast<Index>(reduced_id.value());
      ++out.stages;
    }
    landing[k].reduced = static_cast<Index>(reduced_id.value());
  }
  // The stage buffers are as large as the largest stage: they go before the
  // store grows its index.
  p = PreparedKey();
  inputs = Inputs();
  input_keys = std::vector<Index>();
  input_nodes = std::vector<Index>();
  slots.reset();
  member_text = std::vector<MemberText>();
  text_ids = std::vector<TextId>();
  unknown_texts = std::vector<uint32_t>();
  emitter.finish();
  out.nodes = store.nodes_from(NodeId(0));
  out.store = std::move(store).finish();

  out.outputs.reserve(graph.outputs.size());
  for (uint64_t o : graph.outputs) {
    at(landing, o);  // checks that o is a node
    out.outputs.push_back(reduced_for(o));
  }
  // Placements are read off the groups once the store is complete, so that
  // their table is not alive beside the store's growth, and the graph's edges
  // are gone first.
  graph = TemplateGraph();
  out.placement = PackedNodeMap(m);
  for (uint64_t k = 0; k < m; ++k) {
    const uint64_t first = group_offset[k];
    const uint64_t count = group_offset[k + 1] - first;
    if (count == 0) continue;
    const NodeId reduced_id = reduced_for(k);
    if (opaque[k]) {
      out.placement.set(k, reduced_id, std::nullopt);
      continue;
    }
    for (uint64_t n = 0; n < count; ++n) out.placement.set(members[first + n], reduced_id, n);
  }
  return out;
}

}  // namespace velmora
