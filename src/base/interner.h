// Interner: a vector of distinct items with a hash index over it, so each item
// is stored once and found by value. The index holds positions and each item's
// hash, computed once: growing the index never rehashes the items.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "absl/hash/hash.h"

namespace velmora {

template <typename T>
class Interner {
 public:
  Interner() : index_(0, Hash{&hashes_}, Eq{&items_}) {}
  Interner(const Interner&) = delete;  // the index points into this object
  Interner& operator=(const Interner&) = delete;

  // The position of an item equal to `v`, if any.
  [[nodiscard]] std::optional<uint64_t> find(const T& v) const {
    auto it = index_.find(Probe{&v, absl::Hash<T>{}(v)});
    if (it == index_.end()) return std::nullopt;
    return *it;
  }

  // The position of an item equal to `v`, appending `v` when there is none;
  // `second` tells whether it was appended.
  std::pair<uint64_t, bool> intern(T v) {
    const size_t hash = absl::Hash<T>{}(v);
    if (auto it = index_.find(Probe{&v, hash}); it != index_.end()) return {*it, false};
    const uint64_t pos = items_.size();
    items_.push_back(std::move(v));
    try {
      hashes_.push_back(hash);
      index_.insert(pos);
    } catch (...) {
      // Keep the items, their hashes and the index in step.
      items_.pop_back();
      if (hashes_.size() > items_.size()) hashes_.pop_back();
      throw;
    }
    return {pos, true};
  }

  void reserve(size_t n) {
    items_.reserve(n);
    hashes_.reserve(n);
    index_.reserve(n);
  }

  [[nodiscard]] const std::vector<T>& items() const { return items_; }
  [[nodiscard]] uint64_t size() const { return items_.size(); }

 private:
  struct Probe {
    const T* value;
    size_t hash;
  };
  struct Hash {
    using is_transparent = void;
    const std::vector<size_t>* hashes;
    size_t operator()(uint64_t i) const { return (*hashes)[i]; }
    size_t operator()(const Probe& p) const { return p.hash; }
  };
  struct Eq {
    using is_transparent = void;
    const std::vector<T>* items;
    bool operator()(uint64_t a, uint64_t b) const { return a == b; }
    bool operator()(const Probe& p, uint64_t i) const { return *p.value == (*items)[i]; }
    bool operator()(uint64_t i, const Probe& p) const { return *p.value == (*items)[i]; }
  };

  std::vector<T> items_;
  std::vector<size_t> hashes_;
  absl::flat_hash_set<uint64_t, Hash, Eq> index_;
};

}  // namespace velmora
