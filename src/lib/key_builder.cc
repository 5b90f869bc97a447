#include "lib/key_builder.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "base/text_hash.h"

namespace velmora::py {

bool KeyBuilder::name(PyObject* obj, const char* arg) {
  auto s = utf8_from_py(obj);
  if (!s) {
    name_argument(arg);
    return false;
  }
  hasher_.add(key_.add_text(*s));
  first_param_text_ = key_.texts.size();
  return true;
}

bool KeyBuilder::inputs(PyObject* obj, const char* arg) {
  if (!ids_from_py(obj, arg, inputs_)) return false;
  inputs_read_ = true;
  hasher_.add_inputs(std::span<const NodeId>(inputs_.data(), inputs_.size()));
  return true;
}

void KeyBuilder::add_param(const ParamRef& r) {
  if (key_.params.size() != 0 && !text_before(last_name_, r.name)) sorted_ = false;
  last_name_ = r.name;
  const uint32_t name_hash = key_.add_text(r.name);
  key_.add_param(r.kind, r.bits);
  const uint32_t str_hash = r.kind == ParamValue::Kind::kStr ? key_.add_text(r.str) : 0;
  hasher_.add_param(name_hash, r.kind, r.bits, str_hash);
}

void KeyBuilder::drop_params() {
  key_.texts.resize(first_param_text_);
  key_.text_hashes.resize(first_param_text_);
  key_.params.clear();
  hasher_ = before_params_;
  sorted_ = true;
}

void KeyBuilder::sort_params() {
  struct Entry {
    PreparedKey::Param value;
    std::size_t text;  // of the name; a Str's text follows it
  };
  std::vector<Entry> entries;
  std::size_t t = first_param_text_;
  for (const PreparedKey::Param& q : key_.params) {
    entries.push_back({q, t});
    t += q.kind == ParamValue::Kind::kStr ? 2 : 1;
  }
  std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
    return key_.texts[a.text] < key_.texts[b.text];
  });
  const std::vector<std::string_view> texts(key_.texts.begin(), key_.texts.end());
  const std::vector<uint32_t> hashes(key_.text_hashes.begin(), key_.text_hashes.end());
  drop_params();
  for (const Entry& e : entries) {
    const std::size_t n = e.value.kind == ParamValue::Kind::kStr ? 2 : 1;
    for (std::size_t k = e.text; k < e.text + n; ++k) {
      key_.texts.push_back(texts[k]);
      key_.text_hashes.push_back(hashes[k]);
    }
    key_.params.push_back(e.value);
  }
}

#ifndef Py_GIL_DISABLED
// A params dict whose keys are exact strs and whose values are of the exact
// types converts without running any Python code, and with the GIL held
// throughout nothing else runs until the key is interned: no one can change
// the dict or drop what it holds meanwhile, so it is read in one pass,
// borrowing everything, to the same values (or the same error) the general
// reading gives. Any other dict leaves no params, `plain` false, for the
// general reading.
bool KeyBuilder::plain_params(PyObject* dict, bool& plain) {
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  plain = false;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    ParamRef r;
    if (!PyUnicode_CheckExact(k)) {
      drop_params();
      return true;
    }
    auto name = utf8_from_py(k);
    if (!name) return false;
    r.name = *name;
    switch (exact_param_from_py(v, r)) {
      case Exact::kRead: add_param(r); continue;
      case Exact::kFailed: return false;
      case Exact::kOther: drop_params(); return true;
    }
  }
  plain = true;
  return true;
}
#endif

bool KeyBuilder::params(PyObject* obj) {
  if (!inputs_read_) hasher_.add_inputs({});  // a kind without inputs hashes none
  before_params_ = hasher_;
#ifndef Py_GIL_DISABLED
  if (obj != nullptr && PyDict_CheckExact(obj)) {
    bool plain = false;
    if (!plain_params(obj, plain)) return false;
    if (plain) return true;
  }
#endif
  return read_params(obj, [this](const ParamRef& r, Ref& key, Ref& value) {
    add_param(r);
    held_.push_back(std::move(key));
    if (r.kind == ParamValue::Kind::kStr) held_.push_back(std::move(value));
  });
}

const PreparedKey& KeyBuilder::prepare() {
  key_.inputs = std::span<const NodeId>(inputs_.data(), inputs_.size());
  if (sorted_) {
    key_.hash = hasher_.end();
  } else {
    sort_params();
    key_.finish();
  }
  return key_;
}

#ifndef Py_GIL_DISABLED
namespace {

// A str's UTF-8, or false with no exception set.
bool text_of(PyObject* obj, std::string_view& s) {
  if (!PyUnicode_CheckExact(obj)) return false;  // a subclass's reading may run its code
  auto text = utf8_from_py(obj);
  if (!text) {
    PyErr_Clear();  // the general reading raises it again
    return false;
  }
  s = *text;
  return true;
}

using Found = NodeArena::KeyWriter::Found;

// What the store holds of `s`, the text of `obj`, an exact str; cached for
// `obj` when the store has it and it is short.
[[gnu::always_inline]] inline Found look_up_text(const NodeArena::KeyWriter& w, StrTextCache* cache,
                                                PyObject* obj, std::string_view s) {
  const Found found = w.look_up(s);
  if (cache != nullptr && !found.id.is_none() && s.size() <= StrTextCache::kMaxBytes) {
    cache->put(obj, found);
  }
  return found;
}

// What `cache` holds of `obj`, if anything.
[[gnu::always_inline]] inline const Found* cached(const StrTextCache* cache, PyObject* obj) {
  return cache != nullptr ? cache->find(obj) : nullptr;
}

// The same for an uncached `obj`, whose text is read first; false when `obj`
// needs the general reading.
[[gnu::noinline]] bool read_and_look_up(const NodeArena::KeyWriter& w, StrTextCache* cache,
                                        PyObject* obj, Found& found) {
  std::string_view s;
  if (!text_of(obj, s)) return false;
  found = look_up_text(w, cache, obj, s);
  return true;
}

// What the store holds of the text of `obj`, from `cache` when it has it:
// inline, as most texts are cached.
[[gnu::always_inline]] inline bool found_text(const NodeArena::KeyWriter& w, StrTextCache* cache,
                                              PyObject* obj, Found& found) {
  if (const Found* hit = cached(cache, obj)) {
    found = *hit;
    return true;
  }
  return read_and_look_up(w, cache, obj, found);
}

bool write_key(NodeArena::KeyWriter& w, StrTextCache* cache, PyObject* name, PyObject* inputs,
               PyObject* params) {
  Found found;
  if (name != nullptr && (!found_text(w, cache, name, found) || !w.name(found))) return false;
  if (inputs == nullptr) {
    if (!w.inputs(0)) return false;
  } else {
    if (!PyList_CheckExact(inputs) && !PyTuple_CheckExact(inputs)) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(inputs);
    PyObject* const* items = PySequence_Fast_ITEMS(inputs);
    if (!w.inputs(static_cast<std::size_t>(n))) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!PyLong_CheckExact(items[i])) return false;
      const unsigned long long id = PyLong_AsUnsignedLongLong(items[i]);
      if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
      }
      if (!w.input(NodeId(id))) return false;
    }
  }
  if (params == nullptr || params == Py_None) {
    w.params(0);
    return true;
  }
  if (!PyDict_CheckExact(params)) return false;
  w.params(static_cast<std::size_t>(PyDict_GET_SIZE(params)));
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  while (PyDict_Next(params, &pos, &k, &v)) {
    // The name's text is read even when cached: the writer checks the order on it.
    std::string_view s;
    if (!text_of(k, s)) return false;
    const Found* hit = cached(cache, k);
    found = hit != nullptr ? *hit : look_up_text(w, cache, k, s);
    if (PyUnicode_CheckExact(v)) {
      Found value;
      if (!found_text(w, cache, v, value) || !w.str_param(s, found, value)) return false;
      continue;
    }
    ParamRef r;
    switch (exact_param_from_py(v, r)) {
      case Exact::kRead: break;
      case Exact::kFailed: PyErr_Clear(); return false;
      case Exact::kOther: return false;
    }
    if (!w.param(s, found, r.kind, r.bits)) return false;
  }
  return true;
}

}  // namespace

std::optional<NodeId> intern_direct(GraphStore& store, StrTextCache* cache, NodeKey::Kind kind,
                                    PyObject* name, PyObject* inputs, PyObject* params) {
  return store.intern_written(
      kind, [&](NodeArena::KeyWriter& w) { return write_key(w, cache, name, inputs, params); });
}
#endif

}  // namespace velmora::py
