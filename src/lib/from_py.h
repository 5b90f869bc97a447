// Conversions from Python values to IR values. Every function that can fail
// returns an empty optional (or false) with a Python exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "absl/functional/function_ref.h"
#include "base/small_vector.h"
#include "lib/plumbing.h"
#include "node/node.h"
#include "param/param.h"
#include "store/store.h"

namespace velmora::py {

// str -> UTF-8. A non-str is a TypeError; a str that cannot be encoded (lone
// surrogates) passes the codec's error on. The view borrows the str's own
// UTF-8 buffer and lives as long as the str.
// utf8_from_py for anything but an exact ASCII str, which it reads inline.
std::optional<std::string_view> utf8_from_other_py(PyObject* obj);
inline std::optional<std::string_view> utf8_from_py(PyObject* obj) {
  // An ASCII str is its own UTF-8.
  if (PyUnicode_CheckExact(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) {
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
  }
  return utf8_from_other_py(obj);
}
std::optional<std::string> str_from_py(PyObject* obj);
std::optional<std::string> name_from_py(PyObject* obj, const char* arg);
std::optional<NodeId> id_from_py(PyObject* obj);
// A sequence of ids (not a str, not an iterator or set), order and duplicates
// kept. TypeErrors name `arg`.
std::optional<Inputs> ids_from_py(PyObject* obj, const char* arg);
// The same into a vector that holds a few ids in place; false on error.
using SmallIds = SmallVector<NodeId, 8>;
bool ids_from_py(PyObject* obj, const char* arg, SmallIds& ids);
// The outer optional is empty on error; the inner one is empty for None or an
// omitted argument (nullptr).
std::optional<std::optional<Inputs>> optional_ids_from_py(PyObject* obj, const char* arg);
// An exact bool, or a NumPy boolean scalar (type numpy.bool_ / numpy.bool),
// taken by its truth value. Ints are refused.
std::optional<bool> flag_from_py(PyObject* obj, const char* arg);
// A bytes object; the span borrows its buffer.
std::optional<std::span<const uint8_t>> bytes_from_py(PyObject* obj, const char* arg);

std::optional<ParamMap> params_from_py(PyObject* obj);

// How reading a param value without running any Python code went.
enum class Exact { kRead, kFailed, kOther };
// exact_param_from_py's rule for an exact int past 64 bits.
[[gnu::cold]] Exact exact_int_past_64_bits(PyObject* v, ParamRef& r);
// The first step of classifying a param value: the exact types bool, float,
// str and int, whose reading runs no Python code (an exact int past 64 bits
// takes the float rule, as the protocols would give it). kFailed with an
// exception set; kOther for any other type, subclasses included. Inline:
// builders read every param through it.
inline Exact exact_param_from_py(PyObject* v, ParamRef& r) {
  if (PyBool_Check(v)) {
    r.kind = ParamValue::Kind::kBool;
    r.bits = v == Py_True ? 1 : 0;
    return Exact::kRead;
  }
  if (PyFloat_CheckExact(v)) {
    r.kind = ParamValue::Kind::kFloat;
    r.bits = std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(v));
    return Exact::kRead;
  }
  if (PyUnicode_CheckExact(v)) {
    auto text = utf8_from_py(v);
    if (!text) return Exact::kFailed;
    r.kind = ParamValue::Kind::kStr;
    r.str = *text;
    return Exact::kRead;
  }
  if (!PyLong_CheckExact(v)) return Exact::kOther;
  int overflow = 0;
  const long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (overflow != 0) return exact_int_past_64_bits(v, r);
  r.kind = ParamValue::Kind::kInt;
  r.bits = std::bit_cast<uint64_t>(static_cast<int64_t>(i));
  return Exact::kRead;
}
// Reads a params argument (a dict or None) in the dict's order, handing each
// value, classified and its name set, to `take` with the key and value still
// held: exact bool, then the integer protocol, then the float protocol, then
// str.
bool read_params(PyObject* obj, absl::FunctionRef<void(const ParamRef&, Ref&, Ref&)> take);

struct ModuleState;
// A PayloadDescriptor of this module, or a dict holding the fields.
std::optional<PayloadDescriptor> descriptor_from_py(PyObject* obj, const ModuleState& state);

}  // namespace velmora::py
