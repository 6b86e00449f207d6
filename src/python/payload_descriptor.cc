#include "python/payload_descriptor.h"

#include <cstdint>
#include <memory>
#include <string>

#include "python/args.h"
#include "python/boxed.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/module.h"

namespace brantel::py {

namespace {

constexpr ArgSignature kNewSignature{"PayloadDescriptor.__new__()",
                                     {Interned::kKind, Interned::kContentHash, Interned::kFramework, Interned::kVersion,
                                      Interned::kIoSchema, Interned::kPreprocessingRef},
                                     6, 0, 0, 5};

PyObject* payload_descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    ArgSlots slots;
    Ref kwargs_copy;
    if (!parse_tuple_dict(kNewSignature, args, kwargs, slots, kwargs_copy)) return nullptr;
    store::PayloadDescriptor value;
    std::string* const fields[] = {&value.kind, &value.content_hash, &value.framework, &value.version,
                                   &value.io_schema};
    std::string_view text;
    for (int i = 0; i < 5; ++i) {
      if (!convert_str_argument(slots[i], interned_text(kNewSignature.names[i]), text)) return nullptr;
      fields[i]->assign(text);
    }
    if (slots[5] != nullptr && slots[5] != Py_None) {
      if (!convert_str_argument(slots[5], "preprocessing_ref", text)) return nullptr;
      value.preprocessing_ref = std::string(text);
    }
    return box(type, std::move(value));
  });
}

using store::PayloadDescriptor;

template <std::string PayloadDescriptor::*kField>
PyObject* get_text(PyObject* self, void*) {
  return entry([&] { return str_of(unbox<PayloadDescriptor>(self).*kField).release(); });
}

PyObject* get_preprocessing_ref(PyObject* self, void*) {
  return entry([&]() -> PyObject* {
    const std::optional<std::string>& text = unbox<PayloadDescriptor>(self).preprocessing_ref;
    return text ? str_of(*text).release() : Py_NewRef(Py_None);
  });
}

PyGetSetDef kGetters[] = {
    {"kind", get_text<&PayloadDescriptor::kind>, nullptr, nullptr, nullptr},
    {"content_hash", get_text<&PayloadDescriptor::content_hash>, nullptr, nullptr, nullptr},
    {"framework", get_text<&PayloadDescriptor::framework>, nullptr, nullptr, nullptr},
    {"version", get_text<&PayloadDescriptor::version>, nullptr, nullptr, nullptr},
    {"io_schema", get_text<&PayloadDescriptor::io_schema>, nullptr, nullptr, nullptr},
    {"preprocessing_ref", get_preprocessing_ref, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char kDoc[] =
    "PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)\n--\n\n"
    "Reproducibility metadata an External node carries (participates in the structural hash).";

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, reinterpret_cast<void*>(payload_descriptor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<store::PayloadDescriptor>)},
    {Py_tp_getset, kGetters},
    {0, nullptr},
};

PyType_Spec kTypeDescription = boxed_type_description<store::PayloadDescriptor>("builtins.PayloadDescriptor", kSlots);

}  // namespace

PyObject* create_payload_descriptor_type() { return PyType_FromSpec(&kTypeDescription); }

const store::PayloadDescriptor* payload_descriptor_of(PyObject* object) noexcept {
  if (!PyObject_TypeCheck(object, module_objects().payload_descriptor_type)) return nullptr;
  return &unbox<store::PayloadDescriptor>(object);
}

}  // namespace brantel::py
