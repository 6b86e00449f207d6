#include "python/reduction.h"

#include "python/errors.h"
#include "python/graph_store.h"
#include "python/module.h"
#include "python/py_ref.h"
#include "store/graph/reduced_store.h"

namespace brantel::py {

Reduced build_reduced(reduce::ReductionResult&& result) {
  return Reduced{store::build_reduced_store(result.nodes, result.outputs, std::move(result.node_map)), result.counts};
}

PyObject* report_to_python(const reduce::ReductionCounts& counts) {
  const std::pair<Interned, std::uint64_t> fields[] = {
      {Interned::kInputNodes, counts.input_nodes},         {Interned::kReachableNodes, counts.reachable_nodes},
      {Interned::kCanonicalNodes, counts.canonical_nodes}, {Interned::kStages, counts.stages},
      {Interned::kReducedNodes, counts.reduced_nodes},     {Interned::kBoundaryNodes, counts.boundary_nodes},
  };
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, count] : fields) {
    Ref value = Ref::steal(PyLong_FromUnsignedLongLong(count));
    if (!value || PyDict_SetItem(dict.get(), module_objects().str(key), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* reduced_to_python(Reduced reduced) {
  Ref store = Ref::steal(wrap_graph_store(std::move(reduced.store)));
  if (!store) return nullptr;
  Ref report = Ref::steal(report_to_python(reduced.counts));
  if (!report) return nullptr;
  return PyTuple_Pack(2, store.get(), report.get());
}

}  // namespace brantel::py
