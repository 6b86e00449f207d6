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
#include "python/reduction.h"
#include "optimizer/engine/saturation_engine.h"

namespace brantel::py {

namespace {

// Copies the arena (and the marks when no outputs are given), checks explicit
// outputs against the copy and reduces it; the whole result, or the report alone.
PyObject* reduce_impl(const store::GraphStore& source, const std::optional<std::vector<store::NodeId>>& outputs,
                      bool maximal_fusion, bool report_only) {
  store::Snapshot copy;
  if (outputs) {
    copy.nodes = source.nodes();
    if (!check_outputs(*outputs, copy.nodes.size())) return nullptr;
    copy.outputs = *outputs;
  } else {
    copy = source.snapshot();
  }
  Reduced reduced = run_detached(true, [&] {
    engine::SaturationEngine engine;
    reduce::ReductionResult result = reduce::reduce_graph(copy.nodes, copy.outputs, engine, maximal_fusion);
    // The report alone needs only the counts, not the reduced store.
    return report_only ? Reduced{nullptr, result.counts} : build_reduced(std::move(result));
  });
  return report_only ? report_to_python(reduced.counts) : reduced_to_python(std::move(reduced));
}

PyObject* reduce(PyObject* self, PyObject* const* a) {
  bool maximal_fusion = false;
  std::optional<std::vector<store::NodeId>> outputs;
  if (!convert_bool(a[0], "maximal_fusion", maximal_fusion) || !convert_outputs(a[1], outputs)) return nullptr;
  return reduce_impl(*graph_store_of(self), outputs, maximal_fusion, false);
}

template <bool kReportOnly>
PyObject* reduce_default(PyObject* self, PyObject* const* a) {
  std::optional<std::vector<store::NodeId>> outputs;
  if (!convert_outputs(a[0], outputs)) return nullptr;
  return reduce_impl(*graph_store_of(self), outputs, false, kReportOnly);
}

constexpr ArgSignature kReduce{"GraphStore.reduce()", {Interned::kMaximalFusion, Interned::kOutputs}, 2, 0, 0, 0};
constexpr ArgSignature kReduceIncremental{"GraphStore.reduce_incremental()", {Interned::kOutputs}, 1, 0, 0, 0};
constexpr ArgSignature kReductionReport{"GraphStore.reduction_report()", {Interned::kOutputs}, 1, 0, 0, 0};

const PyMethodDef kMethods[] = {
    method_def<kReduce, reduce>(
        "reduce",
        "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
        "Reduce the graph: dead-code elimination from the outputs (the stored output marks when outputs\n"
        "is None), canonicalisation by equality saturation, common-subexpression elimination and fusion\n"
        "of op chains into Stage nodes. Returns (reduced GraphStore, report dict); this store is not\n"
        "changed."),
    method_def<kReduceIncremental, reduce_default<false>>(
        "reduce_incremental",
        "reduce_incremental($self, *, outputs=None)\n--\n\n"
        "The same as reduce(maximal_fusion=False, outputs=outputs)."),
    method_def<kReductionReport, reduce_default<true>>(
        "reduction_report",
        "reduction_report($self, *, outputs=None)\n--\n\n"
        "The report dict of reduce_incremental(outputs=outputs), without the reduced store."),
};

}  // namespace

std::span<const PyMethodDef> graph_store_reduce_methods() { return kMethods; }

}  // namespace brantel::py
