#include "lib/convert.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <tuple>

#include "base/hash_key.h"
#include "base/id_index.h"
#include "lib/module.h"

namespace velmora::py {
namespace {

// Takes the pending exception (normalized) off the thread.
Ref take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref(value);
#endif
}

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

PyObject* param_value_to_py(const ParamValue& v) {
  switch (v.kind()) {
    case ParamValue::Kind::kInt: return PyLong_FromLongLong(v.as_int());
    case ParamValue::Kind::kFloat: return PyFloat_FromDouble(v.as_float());
    case ParamValue::Kind::kBool: return PyBool_FromLong(v.as_bool());
    case ParamValue::Kind::kStr: return str_to_py(v.as_str());
  }
  panic("param value of unknown kind");
}

// Sets dict[key] = value, taking over `value`.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
  Ref owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
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

PyObject* stage_ref_to_py(const StageRef& r) {
  const char* word = r.kind == StageRef::Kind::kInput ? "input" : "member";
  return Py_BuildValue("(sK)", word, static_cast<unsigned long long>(r.index));
}

PyObject* member_to_py(const MemberView& member) {
  auto parsed = parse_op_token(member.op);
  if (!parsed) return value_error("unparseable stage member token " + quote_str(member.op));
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  Ref inputs(PyList_New(static_cast<Py_ssize_t>(member.argc)));
  if (!inputs) return nullptr;
  for (uint32_t k = 0; k < member.argc; ++k) {
    PyObject* ref = stage_ref_to_py(member.ref(k));
    if (ref == nullptr) return nullptr;
    PyList_SET_ITEM(inputs.get(), static_cast<Py_ssize_t>(k), ref);
  }
  if (!set_item(dict.get(), "kind", str_to_py(parsed->kind)) ||
      !set_item(dict.get(), "name", str_to_py(parsed->name)) ||
      !set_item(dict.get(), "params", params_to_py(parsed->params)) ||
      !set_item(dict.get(), "inputs", inputs.release())) {
    return nullptr;
  }
  return dict.release();
}

PyObject* members_to_py(const NodeView& node) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(node.member_count())));
  if (!list) return nullptr;
  Py_ssize_t k = 0;
  bool ok = true;
  node.for_each_member([&](const MemberView& m) {
    if (!ok) return;
    PyObject* member = member_to_py(m);
    if (member == nullptr) {
      ok = false;
      return;
    }
    PyList_SET_ITEM(list.get(), k++, member);
  });
  if (!ok) return nullptr;
  return list.release();
}

PyObject* param_ref_to_py(const ParamRef& r) {
  switch (r.kind) {
    case ParamValue::Kind::kInt: return PyLong_FromLongLong(std::bit_cast<int64_t>(r.bits));
    case ParamValue::Kind::kFloat: return PyFloat_FromDouble(std::bit_cast<double>(r.bits));
    case ParamValue::Kind::kBool: return PyBool_FromLong(r.bits != 0);
    case ParamValue::Kind::kStr: return str_to_py(r.str);
  }
  panic("param value of unknown kind");
}


}  // namespace

DictReader::DictReader(PyObject* dict) : dict_(dict) {
#ifdef Py_GIL_DISABLED
  Py_BEGIN_CRITICAL_SECTION(dict_);
#endif
  keys_.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict_)));
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  while (PyDict_Next(dict_, &pos, &k, nullptr)) keys_.emplace_back(Py_NewRef(k));
#ifdef Py_GIL_DISABLED
  Py_END_CRITICAL_SECTION();
#endif
}

bool DictReader::keys_changed() {
  PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
  failed_ = true;
  return false;
}

bool DictReader::next(Ref& key, Ref& value) {
  if (failed_) return false;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  Py_ssize_t size = 0;
  int found = 0;
  const auto start_size = static_cast<Py_ssize_t>(keys_.size());
#ifdef Py_GIL_DISABLED
  Py_BEGIN_CRITICAL_SECTION(dict_);
#endif
  size = PyDict_GET_SIZE(dict_);
  if (size == start_size) found = PyDict_Next(dict_, &pos_, &k, &v);
  if (found) {
    // Strong before the section ends: another thread may drop the dict's own.
    Py_INCREF(k);
    Py_INCREF(v);
  }
#ifdef Py_GIL_DISABLED
  Py_END_CRITICAL_SECTION();
#endif
  key = Ref(k);
  value = Ref(v);
  if (size != start_size) {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    failed_ = true;
    return false;
  }
  if (!found) return read_ == keys_.size() ? false : keys_changed();
  // Another key where the next one stood, or more items at the same size.
  if (read_ == keys_.size() || keys_[read_].get() != k) return keys_changed();
  ++read_;
  return true;
}

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

void name_argument(const char* arg) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Ref original = take_exception();
  Ref text(PyObject_Str(original.get()));
  if (!text) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", arg, text.get());
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

PyObject* params_to_py(const ParamMap& params) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, value] : params) {
    Ref k(str_to_py(name));
    Ref v(param_value_to_py(value));
    if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
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

PyObject* str_to_py(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

PyObject* id_to_py(NodeId id) {
  return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(id));
}

namespace {
template <typename Id>
PyObject* id_list(std::span<const Id> ids) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* id = id_to_py(ids[i]);
    if (id == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id);
  }
  return list.release();
}
}  // namespace

PyObject* ids_to_py(std::span<const NodeId> ids) { return id_list(ids); }
PyObject* ids_to_py(std::span<const uint32_t> ids) { return id_list(ids); }

namespace {

// The kind words follow one another in kind order, as the kinds' table.
constexpr bool kinds_in_order() {
  for (int k = 0; k < NodeKey::kKindCount; ++k) {
    if (std::string_view(kWordTexts[kWordSource + k]) != kKinds[k].word) return false;
  }
  return kWordSource + NodeKey::kKindCount - 1 == kWordJoin;
}
static_assert(kinds_in_order());

// Builds the node dicts of one nodes() call. Keys and kind words come from the
// module; each store text becomes one str, shared by every dict that shows
// it (strs are immutable, so sharing them is not observable).
class NodesBuilder {
 public:
  explicit NodesBuilder(const ModuleState& state) : words_(state.words) {}
  NodesBuilder(const NodesBuilder&) = delete;
  NodesBuilder& operator=(const NodesBuilder&) = delete;
  ~NodesBuilder() {
    for (PyObject* p : texts_) Py_XDECREF(p);
  }

  PyObject* node(const NodeView& node, NodeId id, bool output) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    const NodeKey::Kind kind = node.kind();
    const bool named = NodeKey::named(kind);
    const bool ok = put(dict.get(), kWordId, id_to_py(id)) &&
                    put(dict.get(), kWordOutput, Py_NewRef(output ? Py_True : Py_False)) &&
                    put(dict.get(), kWordInputs, ids_to_py(node.inputs())) &&
                    put(dict.get(), kWordKind, Py_NewRef(words_[kind_word(kind)])) &&
                    put(dict.get(), kWordName, named ? text(node.name_id(), node.name()) : str_to_py("")) &&
                    put(dict.get(), kWordParams, params(node.params()));
    if (!ok) return nullptr;
    if (kind == NodeKey::Kind::kExternal) {
      if (!put(dict.get(), kWordDescriptor, descriptor(node.descriptor()))) return nullptr;
    } else if (kind == NodeKey::Kind::kStage) {
      if (!put(dict.get(), kWordNMembers, PyLong_FromSize_t(node.member_count())) ||
          !put(dict.get(), kWordMembers, members_to_py(node))) {
        return nullptr;
      }
    }
    return dict.release();
  }

 private:
  static Word kind_word(NodeKey::Kind kind) { return static_cast<Word>(kWordSource + static_cast<int>(kind)); }

  // dict[word] = value, taking over `value`.
  bool put(PyObject* dict, Word word, PyObject* value) {
    Ref owned(value);
    return owned && PyDict_SetItem(dict, words_[word], owned.get()) == 0;
  }

  // A new reference to the str of store text `id`.
  PyObject* text(uint32_t id, std::string_view s) {
    if (id >= texts_.size()) texts_.resize(std::max<std::size_t>(id + 1, 2 * texts_.size()), nullptr);
    PyObject*& slot = texts_[id];
    if (slot == nullptr) {
      slot = str_to_py(s);
      if (slot == nullptr) return nullptr;
    }
    return Py_NewRef(slot);
  }

  PyObject* params(const ParamsView& params) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const ParamRef& r : params) {
      Ref k(text(r.name_id, r.name));
      Ref v(r.kind == ParamValue::Kind::kStr ? text(r.str_id, r.str) : param_ref_to_py(r));
      if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return dict.release();
  }

  PyObject* descriptor(const DescriptorView& d) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    if (!put(dict.get(), kWordKind, str_to_py(d.kind)) ||
        !put(dict.get(), kWordContentHash, str_to_py(d.content_hash)) ||
        !put(dict.get(), kWordFramework, str_to_py(d.framework)) ||
        !put(dict.get(), kWordVersion, str_to_py(d.version)) ||
        !put(dict.get(), kWordIoSchema, str_to_py(d.io_schema)) ||
        !put(dict.get(), kWordPreprocessingRef,
             d.preprocessing_ref ? str_to_py(*d.preprocessing_ref) : Py_NewRef(Py_None))) {
      return nullptr;
    }
    return dict.release();
  }

  PyObject* const* words_;
  std::vector<PyObject*> texts_;  // strong references, by store text id
};

// Marks are usually few: a scan, or a table once a linear test per node would
// cost more than building one.
class OutputTest {
 public:
  explicit OutputTest(const std::vector<NodeId>& outputs) : outputs_(outputs) {
    if (outputs.size() <= kScanLimit) return;
    set_.reserve_more(outputs.size());  // marks are distinct store ids: fewer than 2^32
    for (std::size_t k = 0; k < outputs.size(); ++k) set_.insert(hash_word(outputs[k]), static_cast<uint32_t>(k));
  }
  bool operator()(NodeId id) const {
    if (outputs_.size() > kScanLimit) {
      return set_.find(hash_word(id), [&](uint32_t k) { return outputs_[k] == id; }) != IdIndex::kEmpty;
    }
    return std::find(outputs_.begin(), outputs_.end(), id) != outputs_.end();
  }

 private:
  static constexpr std::size_t kScanLimit = 16;
  const std::vector<NodeId>& outputs_;
  IdIndex set_;  // positions in outputs_, keyed by the mark: marks may come from a blob
};

}  // namespace

// Keeps the cyclic collector from running while a view builds its objects:
// they are all new and none can form a cycle, yet a million of them would
// trigger collections that walk every tracked object again and again. The
// collector's earlier state comes back afterwards. Under a GIL no other Python
// code runs meanwhile; without one, another thread could switch the collector
// on or off in between and have its choice undone, so there it is left alone.
class CollectorPause {
 public:
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;
#ifdef Py_GIL_DISABLED
  CollectorPause() {}  // NOLINT: user-provided, so the unused guard draws no warning
#else
  CollectorPause() : was_enabled_(PyGC_Disable()) {}
  ~CollectorPause() {
    if (was_enabled_ == 1) PyGC_Enable();
  }

 private:
  int was_enabled_;
#endif
};

PyObject* nodes_to_py(const ModuleState& state, const Snapshot& snap) {
  const OutputTest is_output(snap.outputs);
  const CollectorPause pause;
  NodesBuilder builder(state);
  Ref list(PyList_New(static_cast<Py_ssize_t>(snap.nodes.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < snap.nodes.size(); ++i) {
    PyObject* node = builder.node(snap.nodes[i], i, is_output(i));
    if (node == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), node);
  }
  return list.release();
}

PyObject* node_map_to_py(const NodeMap& map) {
  const CollectorPause pause;
  Ref list(PyList_New(static_cast<Py_ssize_t>(map.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < map.size(); ++i) {
    PyObject* entry = nullptr;
    if (!map[i]) {
      entry = Py_NewRef(Py_None);
    } else if (map[i]->member) {
      entry = Py_BuildValue("(KK)", static_cast<unsigned long long>(map[i]->node),
                            static_cast<unsigned long long>(*map[i]->member));
    } else {
      entry = Py_BuildValue("(KO)", static_cast<unsigned long long>(map[i]->node), Py_None);
    }
    if (entry == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
  }
  return list.release();
}

PyObject* report_to_py(const ReductionReport& r) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  auto count = [](uint64_t v) { return PyLong_FromUnsignedLongLong(v); };
  if (!set_item(dict.get(), "input_nodes", count(r.input_nodes)) ||
      !set_item(dict.get(), "reachable_nodes", count(r.reachable_nodes)) ||
      !set_item(dict.get(), "canonical_nodes", count(r.canonical_nodes)) ||
      !set_item(dict.get(), "stages", count(r.stages)) ||
      !set_item(dict.get(), "reduced_nodes", count(r.reduced_nodes)) ||
      !set_item(dict.get(), "boundary_nodes", count(r.boundary_nodes))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* map_err(const BadNodeId& e) {
  PyErr_Format(PyExc_ValueError, "no node with id %llu", static_cast<unsigned long long>(e.id));
  return nullptr;
}

PyObject* value_error(const std::string& message) {
  Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

}  // namespace velmora::py
