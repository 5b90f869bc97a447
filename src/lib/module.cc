// The velmora_core extension module: multi-phase initialisation that
// registers the three classes, `version` and PanicException, whose type
// objects live in the module's state rather than in globals.
#include <utility>

#include "lib/method.h"
#include "lib/module.h"
#include "lib/plumbing.h"
#include "lib/to_py.h"
#include "optimizer/pipeline.h"
#include "store/store.h"

namespace velmora::py {
namespace {

ModuleState* module_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// The build passes the version from the VERSION file, its one written copy.
#ifndef VELMORA_VERSION
#error "VELMORA_VERSION must be defined by the build"
#endif
PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(VELMORA_VERSION); }

constexpr Method kVersion{"version", Method::Binding::kStatic};
PyMethodDef version_def = {"version", version, METH_NOARGS, kDocOf<kVersion>.data()};

// Creates a class from `type_spec` and attaches it under its name.
int add_class(PyObject* module, PyType_Spec* type_spec, const char* name, PyTypeObject** slot) {
  PyObject* type = PyType_FromModuleAndSpec(module, type_spec, nullptr);
  if (type == nullptr) return -1;
  *slot = reinterpret_cast<PyTypeObject*>(type);
  if (type_spec == &graph_store_spec && bind_static_methods(*slot) < 0) return -1;
  return PyModule_AddObjectRef(module, name, type);
}

int exec_module(PyObject* module) {
  ModuleState* state = module_state(module);
  if (add_class(module, &graph_store_spec, "GraphStore", &state->graph_store_type) < 0 ||
      add_class(module, &descriptor_spec, "PayloadDescriptor", &state->descriptor_type) < 0 ||
      add_class(module, &reducer_spec, "IncrementalReducer", &state->reducer_type) < 0) {
    return -1;
  }
  Ref name(PyModule_GetNameObject(module));
  if (!name) return -1;
  Ref fn(PyCFunction_NewEx(&version_def, module, name.get()));
  if (!fn || PyModule_AddObjectRef(module, "version", fn.get()) < 0) return -1;
  for (int w = 0; w < kWordCount; ++w) {
    state->words[w] = PyUnicode_InternFromString(kWordTexts[w]);
    if (state->words[w] == nullptr) return -1;
  }
  state->panic_type =
      PyErr_NewException("velmora_core.PanicException", PyExc_BaseException, nullptr);
  if (state->panic_type == nullptr) return -1;
  return PyModule_AddObjectRef(module, "PanicException", state->panic_type);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = module_state(module);
  if (state == nullptr) return 0;
  Py_VISIT(state->graph_store_type);
  Py_VISIT(state->descriptor_type);
  Py_VISIT(state->reducer_type);
  Py_VISIT(state->panic_type);
  for (PyObject* w : state->words) Py_VISIT(w);
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState* state = module_state(module);
  if (state == nullptr) return 0;
  Py_CLEAR(state->graph_store_type);
  Py_CLEAR(state->descriptor_type);
  Py_CLEAR(state->reducer_type);
  Py_CLEAR(state->panic_type);
  for (PyObject*& w : state->words) Py_CLEAR(w);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    // Every class and the exception live in the module's state: each
    // interpreter, whatever its GIL, gets its own.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora_core",
    "",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

ModuleState* state_of(PyTypeObject* type) {
  PyObject* module = PyType_GetModuleByDef(type, &module_def);
  return module == nullptr ? nullptr : module_state(module);
}

void raise_panic(PyTypeObject* owner, const char* message) {
  ModuleState* state = state_of(owner);
  if (state == nullptr || state->panic_type == nullptr) {
    PyErr_Clear();
    PyErr_SetString(PyExc_SystemError, message);
    return;
  }
  PyErr_SetString(state->panic_type, message);
}

int bind_to(PyTypeObject* type, PyMethodDef* def) {
  Ref fn(PyCFunction_NewEx(def, reinterpret_cast<PyObject*>(type), nullptr));
  if (!fn) return -1;
  Ref method(PyStaticMethod_New(fn.get()));
  if (!method) return -1;
#if PY_VERSION_HEX >= 0x030C0000
  Ref dict(PyType_GetDict(type));
#else
  Ref dict = Ref::borrow(type->tp_dict);
#endif
  // Replacing an existing key keeps the method's place in the class dict.
  if (PyDict_SetItemString(dict.get(), def->ml_name, method.get()) < 0) return -1;
  PyType_Modified(type);
  return 0;
}

PyObject* wrap_store(PyTypeObject* type, std::unique_ptr<GraphStore> store) {
  // Shared before the object exists: a failed allocation leaves nothing half-built.
  std::shared_ptr<GraphStore> shared(std::move(store));
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<GraphStoreObject*>(self)->store)
      std::shared_ptr<GraphStore>(std::move(shared));
  return self;
}

PyObject* reduction_to_py(ModuleState* state, ReducedStore reduced) {
  Ref store(wrap_store(state->graph_store_type, std::move(reduced.store)));
  if (!store) return nullptr;
  Ref report(report_to_py(*state, reduced.report));
  if (!report) return nullptr;
  return PyTuple_Pack(2, store.get(), report.get());
}

}  // namespace velmora::py

PyMODINIT_FUNC PyInit_velmora_core(void) {
  return PyModuleDef_Init(&velmora::py::module_def);
}
