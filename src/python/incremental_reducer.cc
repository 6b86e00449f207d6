// The IncrementalReducer class bound to the core reducer.
//
// The reducer's own lock is taken inside the core, before the store's lock; a
// call that has to wait for it (another thread is finalizing) detaches through
// the wait hook. step and finalize run detached on the free-threaded build, as
// their work is proportional to the delta or to the whole canonical form.
#include "python/incremental_reducer.h"

#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/method.h"
#include "python/reduction.h"
#include "optimizer/incremental/incremental_reducer.h"

namespace brantel::py {

namespace {

struct IncrementalReducerObject {
  PyObject_HEAD
  std::unique_ptr<incremental::IncrementalReducer> reducer;  // never null once constructed
};

incremental::IncrementalReducer& reducer_of(PyObject* self) {
  return *reinterpret_cast<IncrementalReducerObject*>(self)->reducer;
}

constexpr ArgSignature kNewSignature{"IncrementalReducer.__new__()", {}, 0, 0, 0, 0};
constexpr ArgSignature kStepSignature{"IncrementalReducer.step()", {Interned::kStore}, 1, 1, 1, 0};
constexpr ArgSignature kWatermarkSignature{"IncrementalReducer.watermark()", {}, 0, 0, 0, 0};
constexpr ArgSignature kTotalWorkSignature{"IncrementalReducer.total_work()", {}, 0, 0, 0, 0};
constexpr ArgSignature kCanonicalCountSignature{"IncrementalReducer.canonical_count()", {}, 0, 0, 0, 0};
constexpr ArgSignature kFinalizeSignature{"IncrementalReducer.finalize()",
                                {Interned::kStore, Interned::kMaximalFusion, Interned::kOutputs},
                                3,
                                1,
                                1,
                                0};

PyObject* incremental_reducer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    ArgSlots slots;
    std::array<Ref, kMaxArgs> keep;
    if (!parse_tuple_dict(kNewSignature, args, kwargs, slots, keep)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    std::construct_at(&reinterpret_cast<IncrementalReducerObject*>(self.get())->reducer,
                      std::make_unique<incremental::IncrementalReducer>());
    return self.release();
  });
}

void incremental_reducer_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<IncrementalReducerObject*>(self)->reducer);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* incremental_reducer_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    ArgSlots a;
    if (!parse_fastcall(kStepSignature, args, nargs, kwnames, a)) return nullptr;
    const store::GraphStore* store = convert_store(a[0], "store");
    if (store == nullptr) return nullptr;
    auto consumed = run_detached(true, [&] { return reducer_of(self).step(*store); });
    if (const incremental::ReducerError* e = consumed.error()) return raise_value_error(describe(*e));
    return PyLong_FromUnsignedLongLong(*consumed);
  });
}

template <std::uint64_t (incremental::IncrementalReducer::*kGetter)() const>
PyObject* counter(const ArgSignature& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ArgSlots a;
  if (!parse_fastcall(signature, args, nargs, kwnames, a)) return nullptr;
  return PyLong_FromUnsignedLongLong((reducer_of(self).*kGetter)());
}

PyObject* incremental_reducer_watermark(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return entry([&] {
    return counter<&incremental::IncrementalReducer::watermark>(kWatermarkSignature, self, args, nargs, kwnames);
  });
}

PyObject* incremental_reducer_total_work(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return entry([&] {
    return counter<&incremental::IncrementalReducer::total_work>(kTotalWorkSignature, self, args, nargs, kwnames);
  });
}

PyObject* incremental_reducer_canonical_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
  return entry([&] {
    return counter<&incremental::IncrementalReducer::canonical_count>(kCanonicalCountSignature, self, args, nargs,
                                                                      kwnames);
  });
}

PyObject* incremental_reducer_finalize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    ArgSlots a;
    if (!parse_fastcall(kFinalizeSignature, args, nargs, kwnames, a)) return nullptr;
    const store::GraphStore* store = convert_store(a[0], "store");
    if (store == nullptr) return nullptr;
    bool maximal_fusion = false;
    std::optional<std::vector<store::NodeId>> outputs;
    if (!convert_bool(a[1], "maximal_fusion", maximal_fusion) || !convert_outputs(a[2], outputs)) return nullptr;
    // The requested outputs are settled before the reducer lock is taken; a bad
    // explicit id leaves the reducer untouched.
    std::vector<store::NodeId> roots;
    if (outputs) {
      if (!check_outputs(*outputs, store->node_count())) return nullptr;
      roots = std::move(*outputs);
    } else {
      roots = store->output_marks();
    }
    auto reduced = run_detached(true, [&]() -> support::Result<Reduced, incremental::ReducerError> {
      auto result = reducer_of(self).finalize(*store, roots, maximal_fusion);
      if (const incremental::ReducerError* e = result.error()) return support::Err{*e};
      return build_reduced(std::move(*result));
    });
    if (const incremental::ReducerError* e = reduced.error()) return raise_value_error(describe(*e));
    return reduced_to_python(std::move(*reduced));
  });
}

const PyMethodDef kMethods[] = {
    {"step", fastcall(incremental_reducer_step), METH_FASTCALL | METH_KEYWORDS,
     "step($self, store)\n--\n\n"
     "Fold the nodes added to store since the previous step into the canonical form; returns how many\n"
     "nodes were consumed (0 when nothing is new)."},
    {"watermark", fastcall(incremental_reducer_watermark), METH_FASTCALL | METH_KEYWORDS,
     "watermark($self)\n--\n\nThe number of store nodes consumed so far."},
    {"total_work", fastcall(incremental_reducer_total_work), METH_FASTCALL | METH_KEYWORDS,
     "total_work($self)\n--\n\nThe number of nodes processed by completed consumptions."},
    {"canonical_count", fastcall(incremental_reducer_canonical_count), METH_FASTCALL | METH_KEYWORDS,
     "canonical_count($self)\n--\n\nThe number of nodes in the canonical form."},
    {"finalize", fastcall(incremental_reducer_finalize), METH_FASTCALL | METH_KEYWORDS,
     "finalize($self, store, *, maximal_fusion=False, outputs=None)\n--\n\n"
     "Consume what is new in store, then reduce the canonical form as GraphStore.reduce does;\n"
     "returns (reduced GraphStore, report dict). The reducer stays usable."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kIncrementalReducerDoc)},
    {Py_tp_new, reinterpret_cast<void*>(incremental_reducer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(incremental_reducer_dealloc)},
    {Py_tp_methods, const_cast<PyMethodDef*>(kMethods)},
    {0, nullptr},
};

PyType_Spec kTypeDescription{"builtins.IncrementalReducer", sizeof(IncrementalReducerObject), 0,
                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

}  // namespace

PyObject* create_incremental_reducer_type() { return PyType_FromSpec(&kTypeDescription); }

}  // namespace brantel::py
