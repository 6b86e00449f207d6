// Python objects built from copies taken out of a store: the nodes() dicts, id
// lists and the node map. Every function runs after the store's lock has been
// released and returns a new reference, or nullptr with an error set.
#pragma once

#include <Python.h>

#include <vector>

#include "store/graph/graph_store.h"
#include "store/model/node_map.h"

namespace brantel::py {

PyObject* nodes_to_python(const store::Snapshot& snapshot);
PyObject* ids_to_python(const std::vector<store::NodeId>& ids);
PyObject* node_map_to_python(const std::vector<store::NodeMapEntry>& node_map);

}  // namespace brantel::py
