// The IncrementalReducer class, binding the core incremental reducer.
#pragma once

#include <Python.h>

namespace brantel::py {

inline constexpr char kIncrementalReducerDoc[] =
    "IncrementalReducer()\n--\n\n"
    "Step-by-step canonicalisation while the graph is being built: each step() folds the nodes added\n"
    "to the store since the previous step into a maintained canonical form, once each (identity\n"
    "elimination, commutativity, hash-consing); finalize() runs the reduction pipeline on that form.\n"
    "Always feed a reducer the same store.";

// A new reference to the heap type, or nullptr with an error set.
PyObject* create_incremental_reducer_type();

}  // namespace brantel::py
