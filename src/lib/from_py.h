// Conversions from Python values to IR values. Every function that can fail
// returns an empty optional (or false) with a Python exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "absl/container/inlined_vector.h"
#include "lib/plumbing.h"
#include "node/node.h"
#include "param/param.h"
#include "store/store.h"

namespace velmora::py {

// str -> UTF-8. A non-str is a TypeError; a str that cannot be encoded (lone
// surrogates) passes the codec's error on. The view borrows the str's own
// UTF-8 buffer and lives as long as the str.
std::optional<std::string_view> utf8_from_py(PyObject* obj);
std::optional<std::string> str_from_py(PyObject* obj);
std::optional<std::string> name_from_py(PyObject* obj, const char* arg);
std::optional<NodeId> id_from_py(PyObject* obj);
// A sequence of ids (not a str, not an iterator or set), order and duplicates
// kept. TypeErrors name `arg`.
std::optional<Inputs> ids_from_py(PyObject* obj, const char* arg);
// The outer optional is empty on error; the inner one is empty for None or an
// omitted argument (nullptr).
std::optional<std::optional<Inputs>> optional_ids_from_py(PyObject* obj, const char* arg);
// An exact bool, or a NumPy boolean scalar (type numpy.bool_ / numpy.bool),
// taken by its truth value. Ints are refused.
std::optional<bool> flag_from_py(PyObject* obj, const char* arg);
// A bytes object; the span borrows its buffer.
std::optional<std::span<const uint8_t>> bytes_from_py(PyObject* obj, const char* arg);

std::optional<ParamMap> params_from_py(PyObject* obj);

// Builds a store key straight from a builder's arguments, in the order they
// are converted (which is the key's text order: name, then per param its name
// and a Str's text). Texts stay in the arguments' own UTF-8 buffers (the
// builder holds every object it borrows from that the arguments do not), so
// nothing is copied before interning. Each step returns false with a Python
// exception set.
class KeyBuilder {
 public:
  bool name(PyObject* obj, const char* arg);
  bool inputs(PyObject* obj, const char* arg);
  bool params(PyObject* obj);
  // The key, hashed; it borrows from this builder.
  const PreparedKey& prepare(NodeKey::Kind kind);

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
  absl::InlinedVector<NodeId, 8> inputs_;
  absl::InlinedVector<Ref, 8> held_;
  std::size_t first_param_text_ = 0;  // where the params' texts start in key_
  std::string_view last_name_;        // of the latest param
  bool sorted_ = true;                // the params so far came in order
};
struct ModuleState;
// A PayloadDescriptor of this module, or a dict holding the fields.
std::optional<PayloadDescriptor> descriptor_from_py(PyObject* obj, const ModuleState& state);

}  // namespace velmora::py
