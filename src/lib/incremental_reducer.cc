// The Python class IncrementalReducer: a thin face over one ReducerCell,
// which holds the locks and the failure policy. Python objects are built
// after the cell's lock is released; no Python code runs while it is held.
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

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
const std::shared_ptr<GraphStore>* store_from_py(Call& c, PyObject* obj) {
  ModuleState* state = c.state();
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

PyObject* step(Call& c) {
  const std::shared_ptr<GraphStore>* store = store_from_py(c, c[0]);
  if (store == nullptr) return nullptr;
  auto consumed = in_core([&] { return cell_of(c.self()).step(*store); });
  if (!consumed) return raise_feed_error(consumed.error());
  return count_to_py(*consumed);
}

// Reads one counter under the reducer's lock.
template <uint64_t (ReducerCell::*Counter)() const>
PyObject* counter(Call& c) {
  const uint64_t value = in_core([&] { return (cell_of(c.self()).*Counter)(); });
  return count_to_py(value);
}

PyObject* finalize(Call& c) {
  const std::shared_ptr<GraphStore>* store = store_from_py(c, c[0]);
  if (store == nullptr) return nullptr;
  auto maximal = c[1] ? flag_from_py(c[1], "maximal_fusion") : std::optional<bool>(false);
  if (!maximal) return nullptr;
  auto outs = optional_ids_from_py(c[2], "outputs");
  if (!outs) return nullptr;
  ModuleState* state = c.state();
  if (state == nullptr) return nullptr;

  // Chosen before the reducer is touched, so a bad id consumes nothing.
  auto chosen = chosen_outputs(**store, std::move(*outs));
  if (!chosen) return nullptr;

  auto reduced = in_core([&] {
    const EggEngine engine = EggEngine::make_default();
    return cell_of(c.self()).finalize(*store, *chosen, engine, *maximal);
  });
  if (!reduced) return raise_feed_error(reduced.error());
  return reduction_to_py(state, std::move(reduced).value());
}

PyObject* new_reducer(Call& c) {
  auto cell = std::make_unique<ReducerCell>();
  PyObject* self = c.owner()->tp_alloc(c.owner(), 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<ReducerObject*>(self)->cell) std::unique_ptr<ReducerCell>(std::move(cell));
  return self;
}

void dealloc_reducer(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<ReducerObject*>(self)->cell.~unique_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

using enum Method::Binding;

constexpr Method kMethods[] = {
    {"IncrementalReducer", kClass, {}, new_reducer,
     "Genuinely incremental reduction (plan \u00a7A.1): feed it a store as the graph is being "
     "built; each\n"
     "`step` canonicalizes ONLY the nodes recorded since the last step (identity "
     "elimination,\n"
     "commutativity dedup, hash-consing \u2014 the same sound rules the EggEngine runs), so a "
     "concise\n"
     "canonical form is maintained while building and `finalize` does one linear pass instead "
     "of a\n"
     "whole-history optimization. `total_work()` counts nodes processed across all steps "
     "\u2014 it equals\n"
     "the node count of the store, no matter how many steps fed it (the incrementality "
     "witness)."},
    {"step", kMethod, {arg("store")}, step,
     "Consume the nodes recorded in `store` since the last step. Returns how many were "
     "processed\n"
     "(the delta size). The reducer must always be fed the same store."},
    {"watermark", kMethod, {}, counter<&ReducerCell::watermark>,
     "How many of the store's nodes have been consumed so far."},
    {"total_work", kMethod, {}, counter<&ReducerCell::total_work>,
     "Cumulative nodes processed across all steps (== watermark: each node touched once)."},
    {"canonical_count", kMethod, {}, counter<&ReducerCell::canonical_count>,
     "Size of the maintained canonical form."},
    {"finalize", kMethod,
     {arg("store"), kwarg("maximal_fusion", "False"), kwarg("outputs", "None")}, finalize,
     "Finish: consume any remaining delta, then reduce the maintained canonical form against "
     "the\n"
     "store's marked outputs \u2014 or, with `outputs=`, against EXACTLY that set (M22: stored "
     "marks\n"
     "ignored). Returns the reduced store + report, exactly like `GraphStore.reduce`."},
};
using Methods = ClassMethods<kMethods>;

PyType_Slot slots[] = {
    {Py_tp_doc, Methods::doc()},
    {Py_tp_new, Methods::construct()},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_reducer)},
    {Py_tp_methods, Methods::defs()},
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
