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
                           6,
                           0,
                           0,
                           5};

PyObject* payload_descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    ArgSlots slots;
    std::array<Ref, kMaxArgs> keep;
    if (!parse_tuple_dict(kNewSignature, args, kwargs, slots, keep)) return nullptr;
    std::string_view fields[5];
    for (int i = 0; i < 5; ++i) {
      if (!convert_str_argument(slots[i], interned_text(kNewSignature.names[i]), fields[i])) return nullptr;
    }
    store::PayloadDescriptor value{std::string(fields[0]), std::string(fields[1]), std::string(fields[2]),
                                   std::string(fields[3]), std::string(fields[4]), std::nullopt};
    if (slots[5] != nullptr && slots[5] != Py_None) {
      std::string_view reference;
      if (!convert_str_argument(slots[5], "preprocessing_ref", reference)) return nullptr;
      value.preprocessing_ref = std::string(reference);
    }
    return box(type, std::move(value));
  });
}

PyObject* from_utf8(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// The closure selects the field: 0..4 in record order, 5 the optional reference.
PyObject* payload_descriptor_get(PyObject* self, void* closure) {
  return entry([&]() -> PyObject* {
    const store::PayloadDescriptor& d = unbox<store::PayloadDescriptor>(self);
    switch (reinterpret_cast<std::intptr_t>(closure)) {
      case 0: return from_utf8(d.kind);
      case 1: return from_utf8(d.content_hash);
      case 2: return from_utf8(d.framework);
      case 3: return from_utf8(d.version);
      case 4: return from_utf8(d.io_schema);
      default:
        if (!d.preprocessing_ref) Py_RETURN_NONE;
        return from_utf8(*d.preprocessing_ref);
    }
  });
}

void* field(std::intptr_t i) { return reinterpret_cast<void*>(i); }

PyGetSetDef kGetters[] = {
    {"kind", payload_descriptor_get, nullptr, nullptr, field(0)},
    {"content_hash", payload_descriptor_get, nullptr, nullptr, field(1)},
    {"framework", payload_descriptor_get, nullptr, nullptr, field(2)},
    {"version", payload_descriptor_get, nullptr, nullptr, field(3)},
    {"io_schema", payload_descriptor_get, nullptr, nullptr, field(4)},
    {"preprocessing_ref", payload_descriptor_get, nullptr, nullptr, field(5)},
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

PyType_Spec kTypeDescription = boxed_type_spec<store::PayloadDescriptor>("builtins.PayloadDescriptor", kSlots);

}  // namespace

PyObject* create_payload_descriptor_type() { return PyType_FromSpec(&kTypeDescription); }

const store::PayloadDescriptor* payload_descriptor_of(PyObject* object) noexcept {
  if (!PyObject_TypeCheck(object, module_objects().payload_descriptor_type)) return nullptr;
  return &unbox<store::PayloadDescriptor>(object);
}

}  // namespace brantel::py
