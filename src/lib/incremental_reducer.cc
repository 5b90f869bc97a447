// The Python class IncrementalReducer: a thin face over one ReducerCell,
// which holds the locks and the failure policy. Python objects are built
// after the cell's lock is released; no Python code runs while it is held.
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "lib/args.h"
#include "lib/from_py.h"
#include "lib/method.h"
#include "lib/module.h"
#include "lib/to_py.h"
#include "optimizer/engine/engine.h"
#include "optimizer/incremental/reducer_cell.h"
#include "optimizer/pipeline.h"
#include "store/store.h"

namespace velmora::py {
namespace {

struct ReducerObject {
  PyObject_HEAD
  std::unique_ptr<ReducerCell> cell;
};

ReducerCell& cell_of(PyObject* self) { return *reinterpret_cast<ReducerObject*>(self)->cell; }

// The store argument, which must be one of this module's GraphStore objects.
const std::shared_ptr<GraphStore>* store_from_py(PyObject* self, PyObject* obj) {
  ModuleState* state = state_of(owner(self));
  if (state == nullptr) return nullptr;
  if (!PyObject_TypeCheck(obj, state->graph_store_type)) {
    PyErr_Format(PyExc_TypeError, "argument 'store': '%.200s' object is not an instance of "
                 "'GraphStore'", Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  return &reinterpret_cast<GraphStoreObject*>(obj)->store;
}

PyObject* raise_feed_error(const FeedError& e) {
  if (const auto* bad = std::get_if<BadNodeId>(&e)) return map_err(*bad);
  return value_error("this reducer belongs to another store");
}

constexpr const char* kStepNames[] = {"store"};
constexpr Signature kStepSig{"IncrementalReducer.step", kStepNames, 1, 1, 1};

PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded(owner(self), [&]() -> PyObject* {
    BoundArgs a;
    if (!a.bind(kStepSig, args, nargs, kw)) return nullptr;
    const std::shared_ptr<GraphStore>* store = store_from_py(self, a[0]);
    if (store == nullptr) return nullptr;
    auto consumed = in_core([&] { return cell_of(self).step(*store); });
    if (!consumed) return raise_feed_error(consumed.error());
    return id_to_py(*consumed);
  });
}

// Reads one counter under the reducer's lock.
template <uint64_t (ReducerCell::*Counter)() const>
PyObject* counter(PyObject* self, PyObject*) {
  return guarded(owner(self), [&] {
    const uint64_t value = in_core([&] { return (cell_of(self).*Counter)(); });
    return id_to_py(value);
  });
}

constexpr const char* kFinalizeNames[] = {"store", "maximal_fusion", "outputs"};
constexpr Signature kFinalizeSig{"IncrementalReducer.finalize", kFinalizeNames, 3, 1, 1};

PyObject* finalize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded(owner(self), [&]() -> PyObject* {
    BoundArgs a;
    if (!a.bind(kFinalizeSig, args, nargs, kw)) return nullptr;
    const std::shared_ptr<GraphStore>* store = store_from_py(self, a[0]);
    if (store == nullptr) return nullptr;
    auto maximal = a[1] ? flag_from_py(a[1], "maximal_fusion") : std::optional<bool>(false);
    if (!maximal) return nullptr;
    auto outs = optional_ids_from_py(a[2], "outputs");
    if (!outs) return nullptr;
    ModuleState* state = state_of(owner(self));
    if (state == nullptr) return nullptr;

    // Chosen before the reducer is touched, so a bad id consumes nothing.
    auto chosen = chosen_outputs(**store, std::move(*outs));
    if (!chosen) return nullptr;

    auto reduced = in_core([&] {
      const EggEngine engine = EggEngine::make_default();
      return cell_of(self).finalize(*store, *chosen, engine, *maximal);
    });
    if (!reduced) return raise_feed_error(reduced.error());
    return reduction_to_py(state, std::move(reduced).value());
  });
}

constexpr Signature kNewSig{"IncrementalReducer", nullptr, 0, 0, 0};

PyObject* new_reducer(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded(type, [&]() -> PyObject* {
    BoundArgs a;
    if (!a.bind(kNewSig, args, kwargs)) return nullptr;
    auto cell = std::make_unique<ReducerCell>();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<ReducerObject*>(self)->cell)
        std::unique_ptr<ReducerCell>(std::move(cell));
    return self;
  });
}

void dealloc_reducer(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<ReducerObject*>(self)->cell.~unique_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"step", fast<step>(), kFastKw,
     "step($self, store)\n--\n\n"
     "Consume the nodes recorded in `store` since the last step. Returns how many were "
     "processed\n"
     "(the delta size). The reducer must always be fed the same store."},
    {"watermark", counter<&ReducerCell::watermark>, METH_NOARGS,
     "watermark($self)\n--\n\n"
     "How many of the store's nodes have been consumed so far."},
    {"total_work", counter<&ReducerCell::total_work>, METH_NOARGS,
     "total_work($self)\n--\n\n"
     "Cumulative nodes processed across all steps (== watermark: each node touched once)."},
    {"canonical_count", counter<&ReducerCell::canonical_count>, METH_NOARGS,
     "canonical_count($self)\n--\n\n"
     "Size of the maintained canonical form."},
    {"finalize", fast<finalize>(), kFastKw,
     "finalize($self, store, *, maximal_fusion=False, outputs=None)\n--\n\n"
     "Finish: consume any remaining delta, then reduce the maintained canonical form against "
     "the\n"
     "store's marked outputs \u2014 or, with `outputs=`, against EXACTLY that set (M22: stored "
     "marks\n"
     "ignored). Returns the reduced store + report, exactly like `GraphStore.reduce`."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "IncrementalReducer()\n--\n\n"
         "Genuinely incremental reduction (plan \u00a7A.1): feed it a store as the graph is "
         "being built; each\n"
         "`step` canonicalizes ONLY the nodes recorded since the last step (identity "
         "elimination,\n"
         "commutativity dedup, hash-consing \u2014 the same sound rules the EggEngine runs), so "
         "a concise\n"
         "canonical form is maintained while building and `finalize` does one linear pass "
         "instead of a\n"
         "whole-history optimization. `total_work()` counts nodes processed across all steps "
         "\u2014 it equals\n"
         "the node count of the store, no matter how many steps fed it (the incrementality "
         "witness).")},
    {Py_tp_new, reinterpret_cast<void*>(new_reducer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_reducer)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec reducer_spec = {
    "velmora_core.IncrementalReducer",
    sizeof(ReducerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace velmora::py
