// Conversions between Python values and IR values, and the mapping of core
// errors to Python exceptions. Every function that can fail returns an empty
// optional (or nullptr) with a Python exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "node/node.h"
#include "optimizer/pipeline.h"
#include "param/param.h"
#include "store/store.h"

namespace velmora::py {

// The one owner of a strong reference.
class Ref {
 public:
  Ref() = default;
  // Takes over `p` (a new reference, or nullptr).
  explicit Ref(PyObject* p) : p_(p) {}
  static Ref borrow(PyObject* p) { return Ref(Py_XNewRef(p)); }
  Ref(Ref&& o) noexcept : p_(o.release()) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = p_;
      p_ = o.release();
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  [[nodiscard]] PyObject* get() const { return p_; }
  [[nodiscard]] PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Reads a dict's own items in order, one strong (key, value) pair per advance.
// Each advance first checks that the dict kept its size and its keys, so a
// dict changed by a conversion hook between advances stops with RuntimeError.
// The keys are taken when reading starts: a hook that removes one key and adds
// another keeps the size, and only the key met in its place tells.
class DictReader {
 public:
  explicit DictReader(PyObject* dict);
  // false at the end, or with an exception set (then `failed()` is true).
  bool next(Ref& key, Ref& value);
  [[nodiscard]] bool failed() const { return failed_; }

 private:
  bool keys_changed();

  PyObject* dict_;
  Py_ssize_t pos_ = 0;
  absl::InlinedVector<Ref, 4> keys_;  // the keys at the start, in order
  std::size_t read_ = 0;             // how many of them were met so far
  bool failed_ = false;
};

// str -> UTF-8. A non-str is a TypeError; a str that cannot be encoded (lone
// surrogates) passes the codec's error on. The view borrows the str's own
// UTF-8 buffer and lives as long as the str.
std::optional<std::string_view> utf8_from_py(PyObject* obj);
std::optional<std::string> str_from_py(PyObject* obj);
// Turns a pending TypeError into one that names the argument; other errors
// stay as they are.
void name_argument(const char* arg);

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
// are converted. Texts stay in the arguments' own UTF-8 buffers (the builder
// holds every object it borrows from), so nothing is copied before interning.
// Each step returns false with a Python exception set.
class KeyBuilder {
 public:
  bool name(PyObject* obj, const char* arg);
  bool inputs(PyObject* obj, const char* arg);
  bool params(PyObject* obj);
  // The key, hashed; it borrows from this builder.
  NodeArena::Prepared prepare(NodeKey::Kind kind);

 private:
#ifndef Py_GIL_DISABLED
  bool plain_params(PyObject* dict);
#endif

  std::string_view name_;
  absl::InlinedVector<NodeId, 8> inputs_;
  absl::InlinedVector<ParamRef, 4> params_;
  absl::InlinedVector<Ref, 8> held_;
};
PyObject* params_to_py(const ParamMap& params);
// `descriptor_type` is the module's PayloadDescriptor class.
std::optional<PayloadDescriptor> descriptor_from_py(PyObject* obj,
                                                    PyTypeObject* descriptor_type);

PyObject* str_to_py(std::string_view s);
PyObject* id_to_py(NodeId id);
PyObject* ids_to_py(std::span<const NodeId> ids);
PyObject* ids_to_py(std::span<const uint32_t> ids);

struct ModuleState;
// The inspection view: one node dict per node of `snap`, in id order; a stage
// member token that does not parse is a ValueError.
PyObject* nodes_to_py(const ModuleState& state, const Snapshot& snap);
// One entry per node of the unreduced graph: None or (id, member | None).
PyObject* node_map_to_py(const NodeMap& map);
PyObject* report_to_py(const ReductionReport& report);

// ValueError "no node with id <id>"; returns nullptr.
PyObject* map_err(const BadNodeId& e);
// ValueError with `message`; returns nullptr.
PyObject* value_error(const std::string& message);

}  // namespace velmora::py
