// Binding call arguments to a fixed text signature, for both calling
// conventions the module meets: vectorcall (methods) and tuple + dict (tp_new).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <vector>

#include "lib/plumbing.h"

namespace velmora::py {

// `names` lists every parameter: first the `positional` ones (which may also
// be passed by keyword), then the keyword-only ones. The first `required`
// names must be given.
struct Signature {
  const char* function;  // for messages, e.g. "GraphStore.add_op"
  const char* const* names;
  int count;
  int positional;
  int required;
};

class BoundArgs {
 public:
  static constexpr int kMax = 6;

  // false with TypeError set when the call does not fit the signature.
  bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  bool bind(const Signature& sig, PyObject* args, PyObject* kwargs);

  // The argument bound to parameter i (borrowed), or nullptr when omitted.
  PyObject* operator[](int i) const { return slots_[i]; }

 private:
  bool take_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs);
  bool place(const Signature& sig, PyObject* name, PyObject* value, Py_ssize_t nargs);
  bool check_required(const Signature& sig);

  std::array<PyObject*, kMax> slots_{};
  std::vector<Ref> held_;  // keeps keyword values read from a dict alive
};

}  // namespace velmora::py
