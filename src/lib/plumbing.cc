#include "lib/plumbing.h"

#include "store/store.h"

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

void name_argument(const char* arg) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Ref original = take_exception();
  Ref text(PyObject_Str(original.get()));
  if (!text) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", arg, text.get());
}

PyObject* map_err(const BadNodeId& e) {
  PyErr_Format(PyExc_ValueError, "no node with id %llu", static_cast<unsigned long long>(e.id.value()));
  return nullptr;
}

PyObject* value_error(const std::string& message) {
  Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

}  // namespace velmora::py
