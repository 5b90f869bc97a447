// Test-only access to a store's lock and an arena's tables.
#pragma once

#include <cstdint>
#include <vector>

#include "store/store.h"

namespace velmora {

struct StoreForTest {
  // Runs `f` while holding the store's lock; a throw from it poisons the store.
  template <typename F>
  static void with_lock(GraphStore& store, F&& f) {
    PoisonGuard g(store.mutex_);
    f();
  }
  static const NodeArena& arena(const GraphStore& store) { return store.nodes_; }
};

struct ArenaForTest {
  // The arena's tables word by word: each text's hash and bytes, each
  // descriptor, and per node its record, its words walked by its kind and the
  // id its key is found at (the index's hash of it agreeing).
  static std::vector<uint64_t> words(const NodeArena& a) {
    std::vector<uint64_t> out;
    for (std::size_t t = 0; t < a.texts_.size(); ++t) {
      const NodeArena::Text& x = a.texts_[t];
      out.push_back(x.hash);
      out.insert(out.end(), x.data, x.data + x.size);
    }
    for (std::size_t d = 0; d < a.descs_.size(); ++d) {
      const NodeArena::Descriptor& x = a.descs_[d];
      for (TextId f : x.field) out.push_back(f.word());
      out.insert(out.end(), {x.present, x.hash});
    }
    for (uint64_t i = 0; i < a.size(); ++i) {
      const NodeRecord& r = a.records_[i];
      out.insert(out.end(), {r.part, r.meta});
      out.insert(out.end(), r.words, r.words + r.input_count());
      if (kind_info(r.kind()).has(Part::kMembers)) {
        for (TailCursor c = r.members(); !c.done(); c.next_member()) {
          out.insert(out.end(), {c.op_id().word(), c.argc()});
          out.insert(out.end(), c.ref_words().begin(), c.ref_words().end());
        }
      } else {
        for (TailCursor c = r.params(); !c.done(); c.next_param()) out.insert(out.end(), {c.head(), c.value()});
      }
      const NodeView v = a.node(NodeId(i));  // its inputs live to the statement's end, as the lookup
      out.push_back(a.find(v.prepare(v.inputs().to_vector())).value_or(NodeId(~uint64_t{0})).value());
    }
    return out;
  }
};

}  // namespace velmora
