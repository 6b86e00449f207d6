// Python results of a reduction: the report dict and the (reduced store, report)
// pair, shared by GraphStore.reduce* and IncrementalReducer.finalize.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <vector>

#include "optimizer/reduce/reduce_graph.h"
#include "store/graph/graph_store.h"

namespace brantel::py {

// The core's part of a reduction: the reduced store and the six counts.
struct Reduced {
  std::unique_ptr<store::GraphStore> store;
  reduce::ReductionCounts counts;
};

// Builds the reduced store from `result`. Pure core work: callers may run it
// detached from the interpreter.
// Consumes the result: its node map becomes the reduced store's.
Reduced build_reduced(reduce::ReductionResult&& result);

// The report dict, or nullptr with an error set.
PyObject* report_to_python(const reduce::ReductionCounts& counts);

// The 2-tuple (GraphStore, report dict), or nullptr with an error set.
PyObject* reduced_to_python(Reduced reduced);

}  // namespace brantel::py
