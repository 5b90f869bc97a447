#include "lib/from_py.h"

#include <algorithm>
#include <bit>
#include <utility>
#include <vector>

#include "lib/module.h"

namespace velmora::py {
namespace {

// A strong reference to item i of a list, or nullptr past its end. The size is
// read at every step because converting an item may run code that shrinks it.
Ref list_item(PyObject* list, Py_ssize_t i) {
#if PY_VERSION_HEX >= 0x030D0000
  if (i >= PyList_GET_SIZE(list)) return Ref();
  PyObject* item = PyList_GetItemRef(list, i);
  if (item == nullptr) PyErr_Clear();  // shrunk by another thread meanwhile
  return Ref(item);
#else
  if (i >= PyList_GET_SIZE(list)) return Ref();
  return Ref::borrow(PyList_GET_ITEM(list, i));
#endif
}

// A strong reference to dict[key], or nullptr (with an error set only when the
// lookup itself failed). Reads the dict's own storage: no __missing__.
Ref dict_lookup(PyObject* dict, const char* key) {
  Ref name(PyUnicode_FromString(key));
  if (!name) return Ref();
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, name.get(), &value) < 0) return Ref();
  return Ref(value);
#else
  return Ref::borrow(PyDict_GetItemWithError(dict, name.get()));
#endif
}

// True, with the error cleared, when a protocol failed by saying "not this
// kind": no such method or a wrong result (TypeError), or a value out of its
// range (OverflowError). Any other error, an interrupt above all, is left
// pending for the caller.
bool not_this_kind() {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    return false;
  }
  PyErr_Clear();
  return true;
}

// Classifies one param value: exact bool, then the integer protocol, then the
// float protocol, then str. Exact int, float and str skip the protocols they
// cannot satisfy. A Str's text borrows `v`'s UTF-8 buffer.
std::optional<ParamRef> param_ref_from_py(PyObject* v) {
  ParamRef r;
  if (PyBool_Check(v)) {
    r.kind = ParamValue::Kind::kBool;
    r.bits = v == Py_True ? 1 : 0;
    return r;
  }
  auto as_float = [&r](double d) {
    r.kind = ParamValue::Kind::kFloat;
    r.bits = std::bit_cast<uint64_t>(d);
    return r;
  };
  auto as_str = [&r](PyObject* s) -> std::optional<ParamRef> {
    auto text = utf8_from_py(s);
    if (!text) return std::nullopt;
    r.kind = ParamValue::Kind::kStr;
    r.str = *text;
    return r;
  };
  if (PyFloat_CheckExact(v)) return as_float(PyFloat_AS_DOUBLE(v));
  if (PyUnicode_CheckExact(v)) return as_str(v);
  const long long i = PyLong_AsLongLong(v);
  if (i != -1 || !PyErr_Occurred()) {
    r.kind = ParamValue::Kind::kInt;
    r.bits = std::bit_cast<uint64_t>(static_cast<int64_t>(i));
    return r;
  }
  if (!not_this_kind()) return std::nullopt;
  const double d = PyFloat_AsDouble(v);
  if (d != -1.0 || !PyErr_Occurred()) return as_float(d);
  if (!not_this_kind()) return std::nullopt;
  if (PyUnicode_Check(v)) return as_str(v);
  PyErr_SetString(PyExc_TypeError, "param values must be int, float, bool, or str");
  return std::nullopt;
}

// Reads a params argument (a dict or None) in the dict's order, handing each
// classified value, its name set, to `take` with the key and value still held.
template <typename Take>
bool read_params(PyObject* obj, Take&& take) {
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyDict_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "params must be a dict or None");
    return false;
  }
  DictReader reader(obj);
  Ref key;
  Ref value;
  while (reader.next(key, value)) {
    auto name = utf8_from_py(key.get());
    if (!name) return false;
    auto v = param_ref_from_py(value.get());
    if (!v) return false;
    v->name = *name;
    take(*v, key, value);
  }
  return !reader.failed();
}

// A sequence of ids into `ids` (anything with reserve and push_back).
template <typename Out>
bool read_ids(PyObject* obj, const char* arg, Out& ids) {
  if (PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': a str is not a sequence of node ids", arg);
    return false;
  }
  if (!PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object is not a sequence", arg,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  auto take = [&](PyObject* item) {
    auto id = id_from_py(item);
    if (!id) {
      name_argument(arg);
      return false;
    }
    ids.push_back(*id);
    return true;
  };
  if (PyTuple_CheckExact(obj)) {
    const Py_ssize_t n = PyTuple_GET_SIZE(obj);
    ids.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!take(PyTuple_GET_ITEM(obj, i))) return false;
    }
    return true;
  }
  if (PyList_CheckExact(obj)) {
    ids.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(PyList_GET_SIZE(obj), 4096)));
    for (Py_ssize_t i = 0;; ++i) {
      Ref item = list_item(obj, i);
      if (!item) break;
      if (!take(item.get())) return false;
    }
    return true;
  }
  Ref iter(PyObject_GetIter(obj));
  if (!iter) {
    name_argument(arg);
    return false;
  }
  while (Ref item{PyIter_Next(iter.get())}) {
    if (!take(item.get())) return false;
  }
  if (PyErr_Occurred()) {
    name_argument(arg);
    return false;
  }
  return true;
}

// True when `obj`'s type is exactly NumPy's boolean scalar type. Such a scalar
// can only exist once NumPy is imported, so NumPy is looked up, never loaded.
bool is_numpy_bool(PyObject* obj) {
  Ref name(PyUnicode_FromString("numpy"));
  if (!name) return false;
  Ref numpy(PyImport_GetModule(name.get()));
  if (!numpy) {
    PyErr_Clear();
    return false;
  }
  Ref bool_type(PyObject_GetAttrString(numpy.get(), "bool_"));
  if (!bool_type) {
    PyErr_Clear();
    return false;
  }
  return bool_type.get() == reinterpret_cast<PyObject*>(Py_TYPE(obj));
}

}  // namespace

std::optional<std::string_view> utf8_from_py(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'str'",
                 Py_TYPE(obj)->tp_name);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return std::nullopt;
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::optional<std::string> str_from_py(PyObject* obj) {
  auto s = utf8_from_py(obj);
  if (!s) return std::nullopt;
  return std::string(*s);
}

std::optional<std::string> name_from_py(PyObject* obj, const char* arg) {
  auto s = str_from_py(obj);
  if (!s) name_argument(arg);
  return s;
}

std::optional<NodeId> id_from_py(PyObject* obj) {
  if (PyLong_CheckExact(obj)) {
    const unsigned long long id = PyLong_AsUnsignedLongLong(obj);
    if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    return static_cast<NodeId>(id);
  }
  Ref index(PyNumber_Index(obj));
  if (!index) return std::nullopt;
  const unsigned long long id = PyLong_AsUnsignedLongLong(index.get());
  if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return static_cast<NodeId>(id);
}

std::optional<Inputs> ids_from_py(PyObject* obj, const char* arg) {
  Inputs ids;
  if (!read_ids(obj, arg, ids)) return std::nullopt;
  return ids;
}

std::optional<std::optional<Inputs>> optional_ids_from_py(PyObject* obj, const char* arg) {
  if (obj == nullptr || obj == Py_None) return std::optional<Inputs>();
  auto ids = ids_from_py(obj, arg);
  if (!ids) return std::nullopt;
  return std::optional<Inputs>(std::move(*ids));
}

std::optional<bool> flag_from_py(PyObject* obj, const char* arg) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  // An int is never a NumPy boolean: refuse it without looking for NumPy.
  if (!PyLong_Check(obj) && is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return std::nullopt;
    return truth == 1;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object is not an instance of 'bool'",
               arg, Py_TYPE(obj)->tp_name);
  return std::nullopt;
}

std::optional<std::span<const uint8_t>> bytes_from_py(PyObject* obj, const char* arg) {
  if (!PyBytes_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object is not an instance of 'bytes'",
                 arg, Py_TYPE(obj)->tp_name);
    return std::nullopt;
  }
  const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj));
  return std::span<const uint8_t>(data, static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
}

std::optional<ParamMap> params_from_py(PyObject* obj) {
  std::vector<Param> pairs;
  if (obj != nullptr && PyDict_Check(obj)) {
    pairs.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(obj)));
  }
  const bool read = read_params(obj, [&pairs](const ParamRef& r, Ref&, Ref&) {
    pairs.emplace_back(std::string(r.name), r.value());
  });
  if (!read) return std::nullopt;
  return ParamMap(std::move(pairs));
}

bool KeyBuilder::name(PyObject* obj, const char* arg) {
  auto s = utf8_from_py(obj);
  if (!s) {
    name_argument(arg);
    return false;
  }
  name_ = *s;
  return true;
}

bool KeyBuilder::inputs(PyObject* obj, const char* arg) { return read_ids(obj, arg, inputs_); }

#ifndef Py_GIL_DISABLED
namespace {

// True for an ASCII str, whose text (its own UTF-8) goes to `out`.
bool ascii_of(PyObject* s, std::string_view& out) {
  if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_COMPACT_ASCII(s)) return false;
  out = std::string_view(static_cast<const char*>(PyUnicode_DATA(s)),
                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)));
  return true;
}

// Classifies a value as the general reading does, when that runs no Python
// code: false for any value that might.
bool plain_value(PyObject* v, ParamRef& r) {
  if (PyBool_Check(v)) {
    r.kind = ParamValue::Kind::kBool;
    r.bits = v == Py_True ? 1 : 0;
    return true;
  }
  if (PyFloat_CheckExact(v)) {
    r.kind = ParamValue::Kind::kFloat;
    r.bits = std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(v));
    return true;
  }
  if (ascii_of(v, r.str)) {
    r.kind = ParamValue::Kind::kStr;
    return true;
  }
  if (!PyLong_CheckExact(v)) return false;
  int overflow = 0;
  const long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
  r.kind = ParamValue::Kind::kInt;
  r.bits = std::bit_cast<uint64_t>(static_cast<int64_t>(i));
  return overflow == 0;
}

}  // namespace

// The usual params dict (ASCII str keys; exact bool, float, ASCII str or
// 64-bit int values) converts without running any Python code, and with
// the GIL held throughout nothing else runs until the key is interned: no
// one can change the dict or drop what it holds meanwhile, so it is read in
// one pass, borrowing everything, to the same values the general reading
// gives. Any other dict leaves `params_` empty and is read the general way.
bool KeyBuilder::plain_params(PyObject* dict) {
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    ParamRef& r = params_.emplace_back();
    if (!ascii_of(k, r.name) || !plain_value(v, r)) {
      params_.clear();
      return false;
    }
  }
  return true;
}
#endif

bool KeyBuilder::params(PyObject* obj) {
#ifndef Py_GIL_DISABLED
  if (obj != nullptr && PyDict_CheckExact(obj) && plain_params(obj)) return true;
#endif
  return read_params(obj, [this](const ParamRef& r, Ref& key, Ref& value) {
    params_.push_back(r);
    held_.push_back(std::move(key));
    if (r.kind == ParamValue::Kind::kStr) held_.push_back(std::move(value));
  });
}

NodeArena::Prepared KeyBuilder::prepare(NodeKey::Kind kind) {
  // The same order a ParamMap keeps: by name as bytes, equal names as given.
  auto by_name = [](const ParamRef& a, const ParamRef& b) { return a.name < b.name; };
  if (!std::is_sorted(params_.begin(), params_.end(), by_name)) {
    std::stable_sort(params_.begin(), params_.end(), by_name);
  }
  NodeArena::Prepared p;
  p.kind = kind;
  p.inputs = std::span<const NodeId>(inputs_.data(), inputs_.size());
  if (NodeKey::named(kind)) p.add_text(name_);
  for (const ParamRef& r : params_) {
    p.add_text(r.name);
    p.add_param(r.kind, r.bits);
    if (r.kind == ParamValue::Kind::kStr) p.add_text(r.str);
  }
  p.finish();
  return p;
}

std::optional<PayloadDescriptor> descriptor_from_py(PyObject* obj,
                                                    PyTypeObject* descriptor_type) {
  if (PyObject_TypeCheck(obj, descriptor_type)) return descriptor_of(obj);
  if (!PyDict_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
    return std::nullopt;
  }
  PayloadDescriptor d;
  Ref pre = dict_lookup(obj, "preprocessing_ref");
  if (PyErr_Occurred()) return std::nullopt;
  if (pre && pre.get() != Py_None) {
    auto s = str_from_py(pre.get());
    if (!s) return std::nullopt;
    d.preprocessing_ref = std::move(*s);
  }
  static constexpr std::pair<const char*, std::string PayloadDescriptor::*> kFields[] = {
      {"kind", &PayloadDescriptor::kind},
      {"content_hash", &PayloadDescriptor::content_hash},
      {"framework", &PayloadDescriptor::framework},
      {"version", &PayloadDescriptor::version},
      {"io_schema", &PayloadDescriptor::io_schema},
  };
  for (const auto& [key, field] : kFields) {
    Ref v = dict_lookup(obj, key);
    if (!v) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "descriptor missing required field '%s'", key);
      }
      return std::nullopt;
    }
    auto s = str_from_py(v.get());
    if (!s) return std::nullopt;
    d.*field = std::move(*s);
  }
  return d;
}

}  // namespace velmora::py
