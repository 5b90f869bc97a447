// Building a store key straight from a builder's Python arguments.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "absl/container/inlined_vector.h"
#include "lib/from_py.h"
#include "lib/plumbing.h"
#include "node/node.h"
#include "param/param.h"
#include "store/store.h"

namespace velmora::py {

// Builds a store key straight from a builder's arguments, in the order they
// are converted (which is the key's text order: name, then per param its name
// and a Str's text, and its hash order: name, inputs, params). Texts stay in
// the arguments' own UTF-8 buffers (the builder holds every object it borrows
// from that the arguments do not), so nothing is copied before interning; the
// key is hashed as it is read, so nothing is read twice. Each step returns
// false with a Python exception set.
class KeyBuilder {
 public:
  explicit KeyBuilder(NodeKey::Kind kind) : hasher_(kind), before_params_(kind) { key_.kind = kind; }

  bool name(PyObject* obj, const char* arg);
  bool inputs(PyObject* obj, const char* arg);
  bool params(PyObject* obj);
  // The key, hashed; it borrows from this builder.
  const PreparedKey& prepare();

 private:
  void add_param(const ParamRef& r);
  // Drops the params read so far, for a reading that starts again.
  void drop_params();
  // Puts the params in a ParamMap's order: by name as bytes.
  [[gnu::cold]] void sort_params();
#ifndef Py_GIL_DISABLED
  // false with an exception set; `plain` false when the dict needs the
  // general reading.
  bool plain_params(PyObject* dict, bool& plain);
#endif

  PreparedKey key_;
  KeyHasher hasher_;        // of what was read so far, while the params come in order
  KeyHasher before_params_;  // as it was when the params' reading began
  bool inputs_read_ = false;
  SmallIds inputs_;
  absl::InlinedVector<Ref, 8> held_;
  std::size_t first_param_text_ = 0;  // where the params' texts start in key_
  std::string_view last_name_;        // of the latest param
  bool sorted_ = true;                // the params so far came in order
};

// What a store found of the strs its builders were given lately, by the str's
// identity: programs give the same str objects (literals, names kept in
// variables) over and over, and a hit skips hashing and looking up the text.
// Each entry holds a reference to its str, so that no other str can come to
// its address while it is cached; and a store never drops or renumbers a
// text, so what was found stays true. Direct-mapped: a collision costs one
// lookup, never a probe. Only used with the GIL held, which guards it.
class StrTextCache {
 public:
  using Found = NodeArena::KeyWriter::Found;
  // Longer strs are not cached: the store holds their text already, and
  // holding the object too would keep it in memory twice. Names and literal
  // values are short.
  static constexpr std::size_t kMaxBytes = 64;

  StrTextCache() = default;
  StrTextCache(const StrTextCache&) = delete;
  StrTextCache& operator=(const StrTextCache&) = delete;
  ~StrTextCache() {
    for (Entry& e : slots_) Py_XDECREF(e.str);
  }

  // What was found of `str` when it was cached, if it is.
  [[nodiscard]] const Found* find(PyObject* str) const {
    const Entry& e = slots_[slot(str)];
    return e.str == str ? &e.found : nullptr;
  }
  // Caches what was found of `str`, an exact str of at most kMaxBytes whose
  // text the store holds.
  void put(PyObject* str, Found found) {
    Entry& e = slots_[slot(str)];
    PyObject* old = e.str;
    e.str = Py_NewRef(str);
    e.found = found;
    Py_XDECREF(old);  // releasing a str runs no Python code
  }

 private:
  static constexpr int kBits = 6;
  struct Entry {
    PyObject* str = nullptr;
    Found found{};
  };
  static std::size_t slot(PyObject* str) {
    return static_cast<std::size_t>((reinterpret_cast<uintptr_t>(str) * 0x9E3779B97F4A7C15ULL) >>
                                    (64 - kBits));
  }

  Entry slots_[std::size_t{1} << kBits];
};

// Interns a builder's key straight from its arguments (`name`, `inputs` or
// `params` nullptr for a kind without it, or omitted) when they are of the
// exact types and the store knows every text: with the GIL held, reading
// such arguments runs no Python code, so no other thread runs until the key
// is interned, and the store is read and written without its lock (no
// method leaves the GIL while it works in a store). nullopt, with no
// exception set and the store unchanged, when the arguments need the general
// reading (KeyBuilder), which then also gives any error they hold; always,
// without a GIL, where the arguments may change while they are read.
// `cache`, when given, is the store's.
#ifdef Py_GIL_DISABLED
inline std::optional<NodeId> intern_direct(GraphStore&, StrTextCache*, NodeKey::Kind, PyObject*,
                                           PyObject*, PyObject*) {
  return std::nullopt;
}
#else
std::optional<NodeId> intern_direct(GraphStore& store, StrTextCache* cache, NodeKey::Kind kind,
                                    PyObject* name, PyObject* inputs, PyObject* params);
#endif

}  // namespace velmora::py
