// The IncrementalReducer class without its core: the constructor only. Built
// only while the brantel_incremental library is absent.
#include <array>

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/incremental_reducer.h"

namespace brantel::py {

namespace {

constexpr ArgSpec kNewSpec{"IncrementalReducer.__new__()", {}, 0, 0, 0, 0};

PyObject* incremental_reducer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> PyObject* {
    ArgSlots slots;
    std::array<Ref, kMaxArgs> keep;
    if (!parse_tuple_dict(kNewSpec, args, kwargs, slots, keep)) return nullptr;
    return type->tp_alloc(type, 0);
  });
}

void incremental_reducer_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kIncrementalReducerDoc)},
    {Py_tp_new, reinterpret_cast<void*>(incremental_reducer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(incremental_reducer_dealloc)},
    {0, nullptr},
};

PyType_Spec kSpec{"builtins.IncrementalReducer", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                  kSlots};

}  // namespace

PyObject* create_incremental_reducer_type() { return PyType_FromSpec(&kSpec); }

}  // namespace brantel::py
