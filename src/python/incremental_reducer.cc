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
#include "python/boxed.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/reduction.h"
#include "optimizer/incremental/incremental_reducer.h"

namespace brantel::py {

namespace {

using ReducerPtr = std::unique_ptr<incremental::IncrementalReducer>;  // never null once constructed

incremental::IncrementalReducer& reducer_of(PyObject* self) { return *unbox<ReducerPtr>(self); }

constexpr ArgSignature kNewSignature{"IncrementalReducer.__new__()", {}, 0, 0, 0, 0};

PyObject* step_impl(incremental::IncrementalReducer& reducer, const store::GraphStore& store) {
  auto consumed = run_detached(true, [&] { return reducer.step(store); });
  if (const incremental::ReducerError* e = consumed.error()) return raise_value_error(describe(*e));
  return PyLong_FromUnsignedLongLong(*consumed);
}

PyObject* step(PyObject* self, PyObject* const* a) {
  const store::GraphStore* store = convert_store(a[0], "store");
  if (store == nullptr) return nullptr;
  return step_impl(reducer_of(self), *store);
}

template <std::uint64_t (incremental::IncrementalReducer::*kGetter)() const>
PyObject* counter(PyObject* self, PyObject* const*) {
  return PyLong_FromUnsignedLongLong((reducer_of(self).*kGetter)());
}

PyObject* finalize_impl(incremental::IncrementalReducer& reducer, const store::GraphStore& store,
                        std::optional<std::vector<store::NodeId>> outputs, bool maximal_fusion) {
  // The requested outputs are settled before the reducer lock is taken; a bad
  // explicit id leaves the reducer untouched.
  if (outputs && !check_outputs(*outputs, store.node_count())) return nullptr;
  const std::vector<store::NodeId> roots = outputs ? std::move(*outputs) : store.output_marks();
  auto reduced = run_detached(true, [&]() -> support::Result<Reduced, incremental::ReducerError> {
    auto result = reducer.finalize(store, roots, maximal_fusion);
    if (const incremental::ReducerError* e = result.error()) return support::Err{*e};
    return build_reduced(std::move(*result));
  });
  if (const incremental::ReducerError* e = reduced.error()) return raise_value_error(describe(*e));
  return reduced_to_python(std::move(*reduced));
}

PyObject* finalize(PyObject* self, PyObject* const* a) {
  const store::GraphStore* store = convert_store(a[0], "store");
  if (store == nullptr) return nullptr;
  bool maximal_fusion = false;
  std::optional<std::vector<store::NodeId>> outputs;
  if (!convert_bool(a[1], "maximal_fusion", maximal_fusion) || !convert_outputs(a[2], outputs)) return nullptr;
  return finalize_impl(reducer_of(self), *store, std::move(outputs), maximal_fusion);
}

constexpr ArgSignature kStep{"IncrementalReducer.step()", {Interned::kStore}, 1, 1, 1, 0};
constexpr ArgSignature kWatermark{"IncrementalReducer.watermark()", {}, 0, 0, 0, 0};
constexpr ArgSignature kTotalWork{"IncrementalReducer.total_work()", {}, 0, 0, 0, 0};
constexpr ArgSignature kCanonicalCount{"IncrementalReducer.canonical_count()", {}, 0, 0, 0, 0};
constexpr ArgSignature kFinalize{
    "IncrementalReducer.finalize()", {Interned::kStore, Interned::kMaximalFusion, Interned::kOutputs}, 3, 1, 1, 0};

using incremental::IncrementalReducer;

PyMethodDef kMethods[] = {
    method_def<kStep, step>(
        "step",
        "step($self, store)\n--\n\n"
        "Fold the nodes added to store since the previous step into the canonical form; returns how many\n"
        "nodes were consumed (0 when nothing is new)."),
    method_def<kWatermark, counter<&IncrementalReducer::watermark>>(
        "watermark", "watermark($self)\n--\n\nThe number of store nodes consumed so far."),
    method_def<kTotalWork, counter<&IncrementalReducer::total_work>>(
        "total_work", "total_work($self)\n--\n\nThe number of nodes processed by completed consumptions."),
    method_def<kCanonicalCount, counter<&IncrementalReducer::canonical_count>>(
        "canonical_count", "canonical_count($self)\n--\n\nThe number of nodes in the canonical form."),
    method_def<kFinalize, finalize>(
        "finalize",
        "finalize($self, store, *, maximal_fusion=False, outputs=None)\n--\n\n"
        "Consume what is new in store, then reduce the canonical form as GraphStore.reduce does;\n"
        "returns (reduced GraphStore, report dict). The reducer stays usable."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kIncrementalReducerDoc)},
    {Py_tp_new, reinterpret_cast<void*>(new_owning<kNewSignature, incremental::IncrementalReducer>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<ReducerPtr>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kTypeDescription = boxed_type_description<ReducerPtr>("builtins.IncrementalReducer", kSlots);

}  // namespace

PyObject* create_incremental_reducer_type() { return PyType_FromSpec(&kTypeDescription); }

}  // namespace brantel::py
