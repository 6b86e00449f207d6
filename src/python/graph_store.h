// The GraphStore class: one core store per Python object.
//
// The add methods and the views live in graph_store.cc. The blob methods
// (graph_store_blob.cc) and the reducing methods (graph_store_reduce.cc) are
// compiled in only when their core libraries are built, and add their entries
// to the class's method table here.
#pragma once

#include <Python.h>

#include <memory>
#include <span>

#include "store/graph/graph_store.h"

namespace brantel::py {

// A new reference to the heap type, or nullptr with an error set.
PyObject* create_graph_store_type();

// The core store of a GraphStore instance; nullptr for any other object.
store::GraphStore* graph_store_of(PyObject* object) noexcept;

// A new GraphStore object that owns `store`, or nullptr with an error set.
PyObject* wrap_graph_store(std::unique_ptr<store::GraphStore> store);

// serialize, deserialize.
std::span<const PyMethodDef> graph_store_blob_methods();
// reduce, reduce_incremental, reduction_report.
std::span<const PyMethodDef> graph_store_reduce_methods();

}  // namespace brantel::py
