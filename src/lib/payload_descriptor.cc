// The Python class PayloadDescriptor: a read-only value holding the
// reproducibility metadata of an External node.
#include <iterator>
#include <new>
#include <string>
#include <utility>

#include "lib/from_py.h"
#include "lib/method.h"
#include "lib/module.h"
#include "lib/to_py.h"

namespace velmora::py {
namespace {

PyObject* new_descriptor(Call& c);

constexpr Method kMethods[] = {
    {"PayloadDescriptor",
     Method::Binding::kClass,
     {kwarg("kind"), kwarg("content_hash"), kwarg("framework"), kwarg("version"),
      kwarg("io_schema"), kwarg("preprocessing_ref", "None")},
     new_descriptor,
     "Reproducibility metadata an External node carries (participates in the structural "
     "hash)."},
};
using Methods = ClassMethods<kMethods>;

// Arguments in the order of the table: the five fields, then preprocessing_ref.
PyObject* new_descriptor(Call& c) {
  const auto& params = kMethods[0].params;
  PayloadDescriptor d;
  std::string* fields[] = {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema};
  const int ref = static_cast<int>(std::size(fields));
  for (int i = 0; i < ref; ++i) {
    auto s = name_from_py(c[i], params[i].name);
    if (!s) return nullptr;
    *fields[i] = std::move(*s);
  }
  if (c[ref] != nullptr && c[ref] != Py_None) {
    auto s = name_from_py(c[ref], params[ref].name);
    if (!s) return nullptr;
    d.preprocessing_ref = std::move(*s);
  }
  PyTypeObject* type = c.owner();
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<DescriptorObject*>(self)->value) PayloadDescriptor(std::move(d));
  return self;
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
    {Py_tp_doc, Methods::doc()},
    {Py_tp_new, Methods::construct()},
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
