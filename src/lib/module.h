// The module's state (its classes and its panic exception), the object layouts
// of the classes, and the guard that keeps every C++ exception on this side of
// the C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <iterator>
#include <memory>
#include <new>
#include <stdexcept>

#include "base/panic.h"
#include "node/node.h"

namespace velmora {
class GraphStore;
struct ReducedStore;
}  // namespace velmora

namespace velmora::py {

class StrTextCache;

// The texts the module reads and writes over and over: dict keys and kind
// words, made once per module.
enum Word : int {
  kWordId, kWordOutput, kWordInputs, kWordKind, kWordName, kWordParams, kWordDescriptor,
  kWordNMembers, kWordMembers, kWordContentHash, kWordFramework, kWordVersion, kWordIoSchema,
  kWordPreprocessingRef, kWordSource, kWordOp, kWordReduction, kWordExternal, kWordStage,
  kWordExchange, kWordJoin, kWordInput, kWordMember, kWordInputNodes, kWordReachableNodes,
  kWordCanonicalNodes, kWordStages, kWordReducedNodes, kWordBoundaryNodes, kWordCount
};
inline constexpr const char* kWordTexts[] = {
    "id", "output", "inputs", "kind", "name", "params", "descriptor",
    "n_members", "members", "content_hash", "framework", "version", "io_schema",
    "preprocessing_ref", "source", "op", "reduction", "external", "stage",
    "exchange", "join", "input", "member", "input_nodes", "reachable_nodes",
    "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"};
static_assert(std::size(kWordTexts) == kWordCount, "one text per word");

// Strong references, released with the module.
struct ModuleState {
  PyTypeObject* graph_store_type = nullptr;
  PyTypeObject* descriptor_type = nullptr;
  PyTypeObject* reducer_type = nullptr;
  PyObject* panic_type = nullptr;
  PyObject* words[kWordCount] = {};
};

extern PyModuleDef module_def;

// The state of the module that defined `type`; nullptr with an error set when
// `type` is not one of this module's classes.
ModuleState* state_of(PyTypeObject* type);

struct GraphStoreObject {
  PyObject_HEAD
  // Shared only so that a reducer can know this store again through a weak
  // reference, which does not keep it alive.
  std::shared_ptr<GraphStore> store;
  // Made on a builder's first call, with a GIL only; freed with the object.
  StrTextCache* texts;
};

struct DescriptorObject {
  PyObject_HEAD
  PayloadDescriptor value;
};

extern PyType_Spec graph_store_spec;
// The C function of a static method gets no receiver: this re-binds
// GraphStore.deserialize to its class, which it needs to reach the module.
int bind_static_methods(PyTypeObject* graph_store_type);
extern PyType_Spec descriptor_spec;
extern PyType_Spec reducer_spec;

inline GraphStore& store_of(PyObject* self) {
  return *reinterpret_cast<GraphStoreObject*>(self)->store;
}
inline const PayloadDescriptor& descriptor_of(PyObject* self) {
  return reinterpret_cast<DescriptorObject*>(self)->value;
}

// A new GraphStore instance owning `store`.
PyObject* wrap_store(PyTypeObject* type, std::unique_ptr<GraphStore> store);
// The (store, report) tuple of a reduction.
PyObject* reduction_to_py(ModuleState* state, ReducedStore reduced);

// Runs core work. The thread stays attached to the interpreter throughout (no
// method detaches while it works, so under a GIL a long reduction holds it,
// and builders rely on that to intern without the store's lock); the core's
// locks are taken and released inside `f`, never while Python code
// runs, so no thread can wait on one while holding what its holder needs.
template <typename F>
decltype(auto) in_core(F&& f) {
  return f();
}

// Raises the module's PanicException (found through `owner`) with `message`.
void raise_panic(PyTypeObject* owner, const char* message);

// Runs `f`, turning a C++ exception into a Python one: a panic (or any other
// unexpected exception) into PanicException, an allocation failure into
// MemoryError. `owner` is a class of this module.
template <typename F>
PyObject* guarded(PyTypeObject* owner, F&& f) noexcept {
  try {
    return f();
  } catch (const Panic& p) {
    raise_panic(owner, p.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(owner, e.what());
  } catch (...) {
    raise_panic(owner, "unexpected C++ exception");
  }
  return nullptr;
}

}  // namespace velmora::py
