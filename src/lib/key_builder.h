// Building a store key straight from a builder's Python arguments.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
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

// Interns a builder's key straight from its arguments (`name`, `inputs` or
// `params` nullptr for a kind without it, or omitted) when they are of the
// exact types and the store knows every text: with the GIL held, reading
// such arguments runs no Python code, so no other thread runs until the key
// is interned, and the store is read without its lock (only the last step
// takes it). nullopt, with no exception set and the store unchanged, when
// the arguments need the general reading (KeyBuilder), which then also gives
// any error they hold; always, without a GIL, where the arguments may
// change while they are read.
#ifdef Py_GIL_DISABLED
inline std::optional<NodeId> intern_direct(GraphStore&, NodeKey::Kind, PyObject*, PyObject*, PyObject*) {
  return std::nullopt;
}
#else
std::optional<NodeId> intern_direct(GraphStore& store, NodeKey::Kind kind, PyObject* name,
                                    PyObject* inputs, PyObject* params);
#endif

}  // namespace velmora::py
