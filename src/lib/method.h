// What the methods of the module's classes share: the vectorcall entry, its
// place in a method table, and the choice of outputs a reduction or a blob is
// made against.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <vector>

#include "node/node.h"

namespace velmora {
class GraphStore;
}  // namespace velmora

namespace velmora::py {

using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

// A vectorcall entry as a method table holds it.
template <Fast F>
PyCFunction fast() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// The class whose module state and exceptions a method of `self` uses.
inline PyTypeObject* owner(PyObject* self) { return Py_TYPE(self); }

// `outs` when given, each id checked against the store's count before anything
// is touched; otherwise the store's marks. Empty with ValueError set for an id
// the store does not hold.
std::optional<std::vector<NodeId>> chosen_outputs(const GraphStore& store,
                                                  std::optional<Inputs>&& outs);

}  // namespace velmora::py
