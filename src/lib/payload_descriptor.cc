// The Python class PayloadDescriptor: a read-only value holding the
// reproducibility metadata of an External node.
#include <new>
#include <string>
#include <utility>

#include "lib/args.h"
#include "lib/from_py.h"
#include "lib/module.h"
#include "lib/to_py.h"

namespace velmora::py {
namespace {

constexpr const char* kNames[] = {"kind",    "content_hash", "framework",
                                  "version", "io_schema",    "preprocessing_ref"};
constexpr Signature kNewSig{"PayloadDescriptor", kNames, 6, 0, 5};

PyObject* new_descriptor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded(type, [&]() -> PyObject* {
    BoundArgs a;
    if (!a.bind(kNewSig, args, kwargs)) return nullptr;
    PayloadDescriptor d;
    std::string* fields[] = {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema};
    for (int i = 0; i < 5; ++i) {
      auto s = name_from_py(a[i], kNames[i]);
      if (!s) return nullptr;
      *fields[i] = std::move(*s);
    }
    if (a[5] != nullptr && a[5] != Py_None) {
      auto s = name_from_py(a[5], kNames[5]);
      if (!s) return nullptr;
      d.preprocessing_ref = std::move(*s);
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<DescriptorObject*>(self)->value) PayloadDescriptor(std::move(d));
    return self;
  });
}

void dealloc_descriptor(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<DescriptorObject*>(self)->value.~PayloadDescriptor();
  type->tp_free(self);
  Py_DECREF(type);
}

template <std::string PayloadDescriptor::*Field>
PyObject* get_field(PyObject* self, void*) {
  return str_to_py(descriptor_of(self).*Field);
}

PyObject* get_preprocessing_ref(PyObject* self, void*) {
  const auto& ref = descriptor_of(self).preprocessing_ref;
  return ref ? str_to_py(*ref) : Py_NewRef(Py_None);
}

PyGetSetDef getset[] = {
    {"kind", get_field<&PayloadDescriptor::kind>, nullptr, nullptr, nullptr},
    {"content_hash", get_field<&PayloadDescriptor::content_hash>, nullptr, nullptr, nullptr},
    {"framework", get_field<&PayloadDescriptor::framework>, nullptr, nullptr, nullptr},
    {"version", get_field<&PayloadDescriptor::version>, nullptr, nullptr, nullptr},
    {"io_schema", get_field<&PayloadDescriptor::io_schema>, nullptr, nullptr, nullptr},
    {"preprocessing_ref", get_preprocessing_ref, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, "
                    "preprocessing_ref=None)\n--\n\n"
                    "Reproducibility metadata an External node carries (participates in the "
                    "structural hash).")},
    {Py_tp_new, reinterpret_cast<void*>(new_descriptor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_descriptor)},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec descriptor_spec = {
    "velmora_core.PayloadDescriptor",
    sizeof(DescriptorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace velmora::py
