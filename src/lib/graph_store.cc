// The Python class GraphStore: a handle on one interned store. Builders convert
// every argument before interning, so a failed call leaves the store as it
// was; views copy under the store's lock and build Python objects after it.
// Long core work (copies, reduction, blob reading and writing) never touches
// a Python object.
#include <algorithm>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "base/huge_pages.h"
#include "lib/args.h"
#include "lib/from_py.h"
#include "lib/method.h"
#include "lib/module.h"
#include "lib/to_py.h"
#include "optimizer/engine/engine.h"
#include "optimizer/pipeline.h"
#include "serialize/blob.h"
#include "store/store.h"

namespace velmora::py {
namespace {

PyObject* intern_node(PyObject* self, NodeKey key) {
  auto id = store_of(self).intern(std::move(key));
  if (!id) return map_err(id.error());
  return id_to_py(*id);
}

PyObject* intern_built(PyObject* self, KeyBuilder& key, NodeKey::Kind kind) {
  auto id = store_of(self).intern(key.prepare(kind));
  if (!id) return map_err(id.error());
  return id_to_py(*id);
}

// ---- builders ----

constexpr const char* kSourceNames[] = {"name", "params"};
constexpr Signature kSourceSig{"GraphStore.add_source", kSourceNames, 2, 2, 1};

PyObject* add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded(owner(self), [&]() -> PyObject* {
    BoundArgs a;
    if (!a.bind(kSourceSig, args, nargs, kw)) return nullptr;
    KeyBuilder key;
    if (!key.name(a[0], "name") || !key.params(a[1])) return nullptr;
    return intern_built(self, key, NodeKey::Kind::kSource);
  });
}

constexpr const char* kNamedNames[] = {"name", "inputs", "params"};
constexpr Signature kOpSig{"GraphStore.add_op", kNamedNames, 3, 3, 2};
constexpr Signature kReductionSig{"GraphStore.add_reduction", kNamedNames, 3, 3, 2};

// add_op and add_reduction: name, inputs, params.
template <NodeKey::Kind Kind, const Signature& Sig>
PyObject* add_named(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded(owner(self), [&]() -> PyObject* {
    BoundArgs a;
    if (!a.bind(Sig, args, nargs, kw)) return nullptr;
    KeyBuilder key;
    if (!key.name(a[0], "name") || !key.inputs(a[1], "inputs") || !key.params(a[2])) {
      return nullptr;
    }
    return intern_built(self, key, Kind);
  });
}

constexpr const char* kExternalNames[] = {"descriptor", "inputs", "params"};
constexpr Signature kExternalSig{"GraphStore.add_external", kExternalNames, 3, 3, 2};

PyObject* add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded(owner(self), [&]() -> PyObject* {
    BoundArgs a;
    if (!a.bind(kExternalSig, args, nargs, kw)) return nullptr;
    auto inputs = ids_from_py(a[1], "inputs");
    if (!inputs) return nullptr;
    ModuleState* state = state_of(owner(self));
    if (state == nullptr) return nullptr;
    auto descriptor = descriptor_from_py(a[0], state->descriptor_type);
    if (!descriptor) return nullptr;
    auto params = params_from_py(a[2]);
    if (!params) return nullptr;
    return intern_node(self, NodeKey::External(std::move(*descriptor), std::move(*inputs),
                                               std::move(*params)));
  });
}

constexpr const char* kBoundaryNames[] = {"inputs", "params"};
constexpr Signature kExchangeSig{"GraphStore.add_exchange", kBoundaryNames, 2, 2, 1};
constexpr Signature kJoinSig{"GraphStore.add_join", kBoundaryNames, 2, 2, 1};

// add_exchange and add_join: inputs, params.
template <NodeKey::Kind Kind, const Signature& Sig>
PyObject* add_boundary(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded(owner(self), [&]() -> PyObject* {
    BoundArgs a;
    if (!a.bind(Sig, args, nargs, kw)) return nullptr;
    KeyBuilder key;
    if (!key.inputs(a[0], "inputs") || !key.params(a[1])) return nullptr;
    return intern_built(self, key, Kind);
  });
}

PyObject* node_count(PyObject* self, PyObject*) {
  return guarded(owner(self), [&] { return id_to_py(store_of(self).node_count()); });
}

// ---- views ----

PyObject* nodes(PyObject* self, PyObject*) {
  return guarded(owner(self), [&]() -> PyObject* {
    ModuleState* state = state_of(owner(self));
    if (state == nullptr) return nullptr;
    const Snapshot snap = in_core([&] { return store_of(self).snapshot(); });
    return nodes_to_py(*state, snap);
  });
}

PyObject* outputs(PyObject* self, PyObject*) {
  return guarded(owner(self), [&] { return ids_to_py(store_of(self).outputs()); });
}

PyObject* node_map(PyObject* self, PyObject*) {
  return guarded(owner(self), [&] { return node_map_to_py(store_of(self).node_map()); });
}

PyObject* to_dot(PyObject* self, PyObject*) {
  return guarded(owner(self), [&] {
    const std::string dot = in_core([&] { return store_of(self).to_dot(); });
    return str_to_py(dot);
  });
}

// ---- reduction ----

// Reduces against the marks, or against exactly `outputs` when given, with a
// fresh engine.
Result<ReducedStore, BadNodeId> run_reduction(PyObject* self, const std::optional<Inputs>& outputs,
                                              bool maximal_fusion) {
  const GraphStore& store = store_of(self);
  return in_core([&]() -> Result<ReducedStore, BadNodeId> {
    const EggEngine engine = EggEngine::make_default();
    if (!outputs) return reduce_with(store, engine, maximal_fusion);
    return reduce_with_outputs(store, *outputs, engine, maximal_fusion);
  });
}

constexpr const char* kReduceNames[] = {"maximal_fusion", "outputs"};
constexpr Signature kReduceSig{"GraphStore.reduce", kReduceNames, 2, 0, 0};

PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded(owner(self), [&]() -> PyObject* {
    BoundArgs a;
    if (!a.bind(kReduceSig, args, nargs, kw)) return nullptr;
    auto maximal = a[0] ? flag_from_py(a[0], "maximal_fusion") : std::optional<bool>(false);
    if (!maximal) return nullptr;
    auto outs = optional_ids_from_py(a[1], "outputs");
    if (!outs) return nullptr;
    ModuleState* state = state_of(owner(self));
    if (state == nullptr) return nullptr;
    auto reduced = run_reduction(self, *outs, *maximal);
    if (!reduced) return map_err(reduced.error());
    return reduction_to_py(state, std::move(reduced).value());
  });
}

constexpr const char* kOutputsNames[] = {"outputs"};
constexpr Signature kIncrementalSig{"GraphStore.reduce_incremental", kOutputsNames, 1, 0, 0};
constexpr Signature kReportSig{"GraphStore.reduction_report", kOutputsNames, 1, 0, 0};

PyObject* reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kw) {
  return guarded(owner(self), [&]() -> PyObject* {
    BoundArgs a;
    if (!a.bind(kIncrementalSig, args, nargs, kw)) return nullptr;
    auto outs = optional_ids_from_py(a[0], "outputs");
    if (!outs) return nullptr;
    ModuleState* state = state_of(owner(self));
    if (state == nullptr) return nullptr;
    auto reduced = run_reduction(self, *outs, false);
    if (!reduced) return map_err(reduced.error());
    return reduction_to_py(state, std::move(reduced).value());
  });
}

PyObject* reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kw) {
  return guarded(owner(self), [&]() -> PyObject* {
    BoundArgs a;
    if (!a.bind(kReportSig, args, nargs, kw)) return nullptr;
    auto outs = optional_ids_from_py(a[0], "outputs");
    if (!outs) return nullptr;
    auto reduced = run_reduction(self, *outs, false);
    if (!reduced) return map_err(reduced.error());
    return report_to_py(reduced->report);
  });
}

// ---- persistence ----

constexpr Signature kSerializeSig{"GraphStore.serialize", kOutputsNames, 1, 1, 0};

PyObject* serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded(owner(self), [&]() -> PyObject* {
    BoundArgs a;
    if (!a.bind(kSerializeSig, args, nargs, kw)) return nullptr;
    auto outs = optional_ids_from_py(a[0], "outputs");
    if (!outs) return nullptr;
    const GraphStore& store = store_of(self);
    // Nodes added after the check only make the writer's copy larger.
    auto flagged = chosen_outputs(store, std::move(*outs));
    if (!flagged) return nullptr;
    auto blob = in_core([&] { return serialize_with(store, *flagged); });
    if (!blob) return value_error(blob.error().message);
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(blob->size()));
    if (bytes == nullptr) return nullptr;
    char* data = PyBytes_AS_STRING(bytes);
    advise_huge_pages(data, blob->size());  // written once in full, straight after
    blob->copy_to(reinterpret_cast<uint8_t*>(data));
    return bytes;
  });
}

constexpr const char* kDeserializeNames[] = {"data"};
constexpr Signature kDeserializeSig{"GraphStore.deserialize", kDeserializeNames, 1, 1, 1};

PyObject* deserialize_store(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kw) {
  // `self` is the class: bind_static_methods gives the function its class.
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(self);
  return guarded(type, [&]() -> PyObject* {
    BoundArgs a;
    if (!a.bind(kDeserializeSig, args, nargs, kw)) return nullptr;
    auto data = bytes_from_py(a[0], "data");
    if (!data) return nullptr;
    ModuleState* state = state_of(type);
    if (state == nullptr) return nullptr;
    auto store = in_core([&] { return deserialize(*data); });
    if (!store) return value_error(store.error().message());
    return wrap_store(state->graph_store_type, std::move(store).value());
  });
}

// ---- the class ----

constexpr Signature kNewSig{"GraphStore", nullptr, 0, 0, 0};

PyObject* new_store(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded(type, [&]() -> PyObject* {
    BoundArgs a;
    if (!a.bind(kNewSig, args, kwargs)) return nullptr;
    return wrap_store(type, std::make_unique<GraphStore>());
  });
}

void dealloc_store(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<GraphStoreObject*>(self)->store.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"add_source", fast<add_source>(), kFastKw, "add_source($self, name, params=None)\n--\n\n"},
    {"add_op", fast<add_named<NodeKey::Kind::kOp, kOpSig>>(), kFastKw,
     "add_op($self, name, inputs, params=None)\n--\n\n"},
    {"add_reduction", fast<add_named<NodeKey::Kind::kReduction, kReductionSig>>(), kFastKw,
     "add_reduction($self, name, inputs, params=None)\n--\n\n"},
    {"add_external", fast<add_external>(), kFastKw,
     "add_external($self, descriptor, inputs, params=None)\n--\n\n"},
    {"add_exchange", fast<add_boundary<NodeKey::Kind::kExchange, kExchangeSig>>(), kFastKw,
     "add_exchange($self, inputs, params=None)\n--\n\n"
     "Record an `Exchange` boundary (plan M39 \u00a72.1). No `name` \u2014 an Exchange's "
     "identity is its\n"
     "`scheme` ParamMap (`params`) + its one logical input; "
     "`nodes()[i][\"kind\"] == \"exchange\"`."},
    {"add_join", fast<add_boundary<NodeKey::Kind::kJoin, kJoinSig>>(), kFastKw,
     "add_join($self, inputs, params=None)\n--\n\n"
     "Record a `Join` boundary (plan M40 \u00a72.1). Two inputs `[left, right]`; identity is "
     "its\n"
     "`scheme` ParamMap (`params`) + its ordered inputs; `nodes()[i][\"kind\"] == \"join\"`."},
    {"node_count", node_count, METH_NOARGS, "node_count($self)\n--\n\n"},
    {"to_dot", to_dot, METH_NOARGS, "to_dot($self)\n--\n\n"},
    {"serialize", fast<serialize>(), kFastKw,
     "serialize($self, outputs=None)\n--\n\n"
     "Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / "
     "A.3.1:\n"
     "the serializable IR \u2014 not cloudpickle \u2014 is the canonical durable "
     "representation). With\n"
     "`outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a\n"
     "property of the compile request); the default keeps the marks-based behavior."},
    {"deserialize", fast<deserialize_store>(), kFastKw | METH_STATIC,
     "deserialize(data)\n--\n\n"
     "Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so\n"
     "`serialize` of the result is byte-identical to the input (plan M8 determinism gate)."},
    {"nodes", nodes, METH_NOARGS,
     "nodes($self)\n--\n\n"
     "Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR "
     "and\n"
     "`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n"
     "(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus "
     "a\n"
     "`descriptor` dict for external nodes and `n_members` for stage nodes."},
    {"outputs", outputs, METH_NOARGS,
     "outputs($self)\n--\n\n"
     "The marked output node ids, in mark order (what an IR evaluator returns, in order)."},
    {"node_map", node_map, METH_NOARGS,
     "node_map($self)\n--\n\n"
     "\u00a78.2(i): for each node of the arena this store was REDUCED FROM, where it landed "
     "here \u2014\n"
     "`(reduced_node_id, member_index | None)`, or `None` if DCE dropped it. Indexed by that\n"
     "arena's node id. Empty for a store that did not come out of a reduction."},
    {"reduce", fast<reduce>(), kFastKw,
     "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
     "Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind\n"
     "RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts "
     "in\n"
     "to fusing fan-out ops whose consumers all land in one stage (the default single-use "
     "rule is\n"
     "pinned by the frozen M4 suite)."},
    {"reduce_incremental", fast<reduce_incremental>(), kFastKw,
     "reduce_incremental($self, *, outputs=None)\n--\n\n"
     "One-shot incremental reduction of the current graph (same result as `reduce`). For "
     "genuine\n"
     "step-by-step reduction while building, use `IncrementalReducer`."},
    {"reduction_report", fast<reduction_report>(), kFastKw,
     "reduction_report($self, *, outputs=None)\n--\n\n"
     "The reduction report for the current graph, without keeping the reduced store."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "GraphStore()\n--\n\n"
                    "Thread-safe interned graph store (frozen pyclass: interior mutability via "
                    "a Mutex, safe to\n"
                    "share across threads under the GIL and free-threaded 3.14t).")},
    {Py_tp_new, reinterpret_cast<void*>(new_store)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_store)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

std::optional<std::vector<NodeId>> chosen_outputs(const GraphStore& store,
                                                  std::optional<Inputs>&& outs) {
  if (!outs) return store.outputs();
  const uint64_t count = store.node_count();
  for (NodeId id : *outs) {
    if (id >= count) {
      map_err(BadNodeId{id});
      return std::nullopt;
    }
  }
  return std::move(*outs);
}

int bind_static_methods(PyTypeObject* type) {
  // The interpreter hides the receiver of a function flagged METH_STATIC, so
  // the bound function uses the same entry without that flag.
  static PyMethodDef bound = [] {
    PyMethodDef def = *std::find_if(std::begin(methods), std::end(methods), [](const auto& m) {
      return m.ml_name != nullptr && std::string_view(m.ml_name) == "deserialize";
    });
    def.ml_flags &= ~METH_STATIC;
    return def;
  }();
  Ref fn(PyCFunction_NewEx(&bound, reinterpret_cast<PyObject*>(type), nullptr));
  if (!fn) return -1;
  Ref method(PyStaticMethod_New(fn.get()));
  if (!method) return -1;
#if PY_VERSION_HEX >= 0x030C0000
  Ref dict(PyType_GetDict(type));
#else
  Ref dict = Ref::borrow(type->tp_dict);
#endif
  // Replacing an existing key keeps the method's place in the class dict.
  if (PyDict_SetItemString(dict.get(), "deserialize", method.get()) < 0) return -1;
  PyType_Modified(type);
  return 0;
}

PyType_Spec graph_store_spec = {
    "velmora_core.GraphStore",
    sizeof(GraphStoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace velmora::py
