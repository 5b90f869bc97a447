#include "lib/args.h"

#include "base/panic.h"

namespace velmora::py {

bool BoundArgs::place(const Signature& sig, PyObject* name, PyObject* value, Py_ssize_t nargs) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.function);
    return false;
  }
  for (int i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(name, sig.params[i].name) != 0) continue;
    if (i < nargs || slots_[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                   sig.params[i].name);
      return false;
    }
    slots_[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function,
               name);
  return false;
}

bool BoundArgs::check_required(const Signature& sig) {
  for (int i = 0; i < sig.count; ++i) {
    if (slots_[i] != nullptr || sig.params[i].fallback != nullptr) continue;
    PyErr_Format(PyExc_TypeError, "%s() missing required %sargument '%s'", sig.function,
                 i < sig.positional ? "" : "keyword-only ", sig.params[i].name);
    return false;
  }
  return true;
}

bool BoundArgs::take_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs) {
  if (sig.count > kMax) panic("signature has more parameters than BoundArgs holds");
  if (nargs > sig.positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                 sig.function, sig.positional, sig.positional == 1 ? "" : "s", nargs,
                 nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots_[i] = args[i];
  return true;
}

bool BoundArgs::bind_any(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  if (!take_positional(sig, args, nargs)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs)) return false;
    }
  }
  return check_required(sig);
}

bool BoundArgs::bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
  // The tuple outlives the call, so its items can be borrowed.
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!take_positional(sig, reinterpret_cast<PyTupleObject*>(args)->ob_item, nargs)) return false;
  if (kwargs != nullptr) {
    DictReader reader(kwargs);
    Ref key;
    Ref value;
    while (reader.next(key, value)) {
      if (!place(sig, key.get(), value.get(), nargs)) return false;
      held_.push_back(std::move(value));
    }
    if (reader.failed()) return false;
  }
  return check_required(sig);
}

}  // namespace velmora::py
