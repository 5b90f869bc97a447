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
Ref dict_lookup(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, key, &value) < 0) return Ref();
  return Ref(value);
#else
  return Ref::borrow(PyDict_GetItemWithError(dict, key));
#endif
}

// True, with the error cleared, when a protocol failed by saying "not this
// kind": no such method or a wrong result (TypeError), or a value out of its
// range (OverflowError). Any other error, an interrupt above all, is left
// pending for the caller.
constexpr const char* kParamValues = "param values must be int, float, bool, or str";

bool not_this_kind() {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    return false;
  }
  PyErr_Clear();
  return true;
}

}  // namespace

Exact exact_int_past_64_bits(PyObject* v, ParamRef& r) {
  const double d = PyLong_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) {
    if (!not_this_kind()) return Exact::kFailed;
    PyErr_SetString(PyExc_TypeError, kParamValues);
    return Exact::kFailed;
  }
  r.kind = ParamValue::Kind::kFloat;
  r.bits = std::bit_cast<uint64_t>(d);
  return Exact::kRead;
}

namespace {

// The rest of the classification, for values of any other type: the integer
// protocol, then the float protocol, then str. Each protocol may run the
// value's own code.
[[gnu::cold, gnu::noinline]] bool protocol_param(PyObject* v, ParamRef& r) {
  const long long i = PyLong_AsLongLong(v);
  if (i != -1 || !PyErr_Occurred()) {
    r.kind = ParamValue::Kind::kInt;
    r.bits = std::bit_cast<uint64_t>(static_cast<int64_t>(i));
    return true;
  }
  if (!not_this_kind()) return false;
  const double d = PyFloat_AsDouble(v);
  if (d != -1.0 || !PyErr_Occurred()) {
    r.kind = ParamValue::Kind::kFloat;
    r.bits = std::bit_cast<uint64_t>(d);
    return true;
  }
  if (!not_this_kind()) return false;
  if (PyUnicode_Check(v)) {
    auto text = utf8_from_py(v);
    if (!text) return false;
    r.kind = ParamValue::Kind::kStr;
    r.str = *text;
    return true;
  }
  PyErr_SetString(PyExc_TypeError, kParamValues);
  return false;
}

// Classifies one param value: exact bool, then the integer protocol, then the
// float protocol, then str. A Str's text borrows `v`'s UTF-8 buffer.
bool param_ref_from_py(PyObject* v, ParamRef& r) {
  switch (exact_param_from_py(v, r)) {
    case Exact::kRead: return true;
    case Exact::kFailed: return false;
    case Exact::kOther: break;
  }
  return protocol_param(v, r);
}

}  // namespace

bool read_params(PyObject* obj, absl::FunctionRef<void(const ParamRef&, Ref&, Ref&)> take) {
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
    ParamRef v;
    if (!param_ref_from_py(value.get(), v)) return false;
    v.name = *name;
    take(v, key, value);
  }
  return !reader.failed();
}

namespace {

// A sequence of ids into `ids` (anything with reserve and push_back).
template <typename Out>
bool read_ids(PyObject* obj, const char* arg, Out& ids) {
  auto take = [&](PyObject* item) {
    auto id = id_from_py(item);
    if (!id) {
      name_argument(arg);
      return false;
    }
    ids.push_back(*id);
    return true;
  };
  // Room ahead only past what the vector holds already (a small one holds a
  // few ids in place).
  auto expect = [&](Py_ssize_t n) {
    if (static_cast<std::size_t>(n) > ids.capacity()) ids.reserve(static_cast<std::size_t>(n));
  };
  // Lists and tuples first: neither is a str, and both are sequences.
  if (PyList_CheckExact(obj)) {
    expect(std::min<Py_ssize_t>(PyList_GET_SIZE(obj), 4096));
    for (Py_ssize_t i = 0;; ++i) {
      Ref item = list_item(obj, i);
      if (!item) break;
      if (!take(item.get())) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(obj)) {
    const Py_ssize_t n = PyTuple_GET_SIZE(obj);
    expect(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!take(PyTuple_GET_ITEM(obj, i))) return false;
    }
    return true;
  }
  if (PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': a str is not a sequence of node ids", arg);
    return false;
  }
  if (!PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object is not a sequence", arg,
                 Py_TYPE(obj)->tp_name);
    return false;
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

std::optional<std::string_view> utf8_from_other_py(PyObject* obj) {
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
    return NodeId(id);
  }
  Ref index(PyNumber_Index(obj));
  if (!index) return std::nullopt;
  const unsigned long long id = PyLong_AsUnsignedLongLong(index.get());
  if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return NodeId(id);
}

bool ids_from_py(PyObject* obj, const char* arg, SmallIds& ids) {
  return read_ids(obj, arg, ids);
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

std::optional<PayloadDescriptor> descriptor_from_py(PyObject* obj, const ModuleState& state) {
  if (PyObject_TypeCheck(obj, state.descriptor_type)) return descriptor_of(obj);
  if (!PyDict_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
    return std::nullopt;
  }
  PayloadDescriptor d;
  Ref pre = dict_lookup(obj, state.words[kWordPreprocessingRef]);
  if (PyErr_Occurred()) return std::nullopt;
  if (pre && pre.get() != Py_None) {
    auto s = str_from_py(pre.get());
    if (!s) return std::nullopt;
    d.preprocessing_ref = std::move(*s);
  }
  static constexpr std::pair<Word, std::string PayloadDescriptor::*> kFields[] = {
      {kWordKind, &PayloadDescriptor::kind},
      {kWordContentHash, &PayloadDescriptor::content_hash},
      {kWordFramework, &PayloadDescriptor::framework},
      {kWordVersion, &PayloadDescriptor::version},
      {kWordIoSchema, &PayloadDescriptor::io_schema},
  };
  for (const auto& [word, field] : kFields) {
    Ref v = dict_lookup(obj, state.words[word]);
    if (!v) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "descriptor missing required field '%s'",
                     kWordTexts[word]);
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
