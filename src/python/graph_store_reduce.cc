// GraphStore.reduce, reduce_incremental and reduction_report.
//
// The store's lock is held only inside snapshot()/nodes() for the copy; the
// pipeline and the building of the reduced store run on that copy, detached from
// the interpreter on the free-threaded build, so other threads keep adding nodes.
#include <optional>
#include <vector>

#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/graph_store.h"
#include "python/method.h"
#include "python/reduction.h"
#include "optimizer/engine/saturation_engine.h"

namespace brantel::py {

namespace {

// Copies the arena (and the marks when no outputs are given), checks explicit
// outputs against the copy and reduces it.
std::optional<Reduced> reduce_store(const store::GraphStore& source,
                                    const std::optional<std::vector<store::NodeId>>& outputs,
                                    bool maximal_fusion) {
  store::Snapshot copy;
  if (outputs) {
    copy.nodes = source.nodes();
    if (!check_outputs(*outputs, copy.nodes.size())) return std::nullopt;
    copy.outputs = *outputs;
  } else {
    copy = source.snapshot();
  }
  return run_detached(true, [&] {
    engine::SaturationEngine engine;
    reduce::ReductionResult result = reduce::reduce_graph(copy.nodes, copy.outputs, engine, maximal_fusion);
    return build_reduced(std::move(result));
  });
}

constexpr ArgSignature kReduceSignature{
    "GraphStore.reduce()", {Interned::kMaximalFusion, Interned::kOutputs}, 2, 0, 0, 0};
constexpr ArgSignature kReduceIncrementalSignature{"GraphStore.reduce_incremental()", {Interned::kOutputs}, 1, 0, 0, 0};
constexpr ArgSignature kReductionReportSignature{"GraphStore.reduction_report()", {Interned::kOutputs}, 1, 0, 0, 0};

PyObject* graph_store_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    ArgSlots a;
    if (!parse_fastcall(kReduceSignature, args, nargs, kwnames, a)) return nullptr;
    bool maximal_fusion = false;
    std::optional<std::vector<store::NodeId>> outputs;
    if (!convert_bool(a[0], "maximal_fusion", maximal_fusion) || !convert_outputs(a[1], outputs)) return nullptr;
    std::optional<Reduced> reduced = reduce_store(*graph_store_of(self), outputs, maximal_fusion);
    if (!reduced) return nullptr;
    return reduced_to_python(std::move(*reduced));
  });
}

PyObject* graph_store_reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    ArgSlots a;
    if (!parse_fastcall(kReduceIncrementalSignature, args, nargs, kwnames, a)) return nullptr;
    std::optional<std::vector<store::NodeId>> outputs;
    if (!convert_outputs(a[0], outputs)) return nullptr;
    std::optional<Reduced> reduced = reduce_store(*graph_store_of(self), outputs, false);
    if (!reduced) return nullptr;
    return reduced_to_python(std::move(*reduced));
  });
}

PyObject* graph_store_reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    ArgSlots a;
    if (!parse_fastcall(kReductionReportSignature, args, nargs, kwnames, a)) return nullptr;
    std::optional<std::vector<store::NodeId>> outputs;
    if (!convert_outputs(a[0], outputs)) return nullptr;
    std::optional<Reduced> reduced = reduce_store(*graph_store_of(self), outputs, false);
    if (!reduced) return nullptr;
    return report_to_python(reduced->counts);
  });
}

const PyMethodDef kMethods[] = {
    {"reduce", fastcall(graph_store_reduce), METH_FASTCALL | METH_KEYWORDS,
     "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
     "Reduce the graph: dead-code elimination from the outputs (the stored output marks when outputs\n"
     "is None), canonicalisation by equality saturation, common-subexpression elimination and fusion\n"
     "of op chains into Stage nodes. Returns (reduced GraphStore, report dict); this store is not\n"
     "changed."},
    {"reduce_incremental", fastcall(graph_store_reduce_incremental), METH_FASTCALL | METH_KEYWORDS,
     "reduce_incremental($self, *, outputs=None)\n--\n\n"
     "The same as reduce(maximal_fusion=False, outputs=outputs)."},
    {"reduction_report", fastcall(graph_store_reduction_report), METH_FASTCALL | METH_KEYWORDS,
     "reduction_report($self, *, outputs=None)\n--\n\n"
     "The report dict of reduce_incremental(outputs=outputs), without the reduced store."},
};

}  // namespace

std::span<const PyMethodDef> graph_store_reduce_methods() { return kMethods; }

}  // namespace brantel::py
