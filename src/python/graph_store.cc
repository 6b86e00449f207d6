#include "python/graph_store.h"

#include <array>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "python/args.h"
#include "python/boxed.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/module.h"
#include "python/views.h"

namespace brantel::py {

namespace {

using store::NodeKind;

using StorePtr = std::unique_ptr<store::GraphStore>;  // never null once constructed

store::GraphStore& store_of(PyObject* self) { return *unbox<StorePtr>(self); }

constexpr ArgSignature kNewSignature{"GraphStore.__new__()", {}, 0, 0, 0, 0};

// ---- add methods ---------------------------------------------------------------

// The typed implementation behind every add method. `record` holds the node's
// fields up to its params; the params and inputs are appended and the record is
// hashed before the store's lock is taken. The store compares it in place and
// copies it only when the node is new.
PyObject* add_node_impl(store::GraphStore& graph, RecordBuffer& record, PyObject* params, const IdBuffer* inputs) {
  using store::SizedRecordWriter;
  bool has_nan = false;
  if (!convert_params(params, record, has_nan)) return nullptr;
  std::span<const store::NodeId> ids;  // none for a Source, whose record has no input list
  if (inputs != nullptr) {
    ids = std::span(inputs->data(), inputs->size());
    extend(record, SizedRecordWriter::ids_size(ids)).ids(ids);
  }
  const std::string_view bytes(record.data(), record.size());
  const store::PreparedRecord prepared{bytes, graph.hash(bytes, has_nan), store::PreparedRecord::bound_of(ids)};
  auto id = graph.intern(prepared);
  if (const store::StoreError* e = id.error()) return raise_store_error(*e);
  return PyLong_FromUnsignedLongLong(*id);
}

// A record's kind tag, then the name of a named kind.
void start_record(RecordBuffer& record, NodeKind kind, std::string_view name = {}) {
  record.push_back(static_cast<char>(kind));
  if (kind == NodeKind::kSource || kind == NodeKind::kOp || kind == NodeKind::kReduction) {
    extend(record, store::SizedRecordWriter::str_size(name)).str(name);
  }
}

// The shims convert in the order the parameters are listed, except that
// add_external reads its inputs before its descriptor: a caller who passes a
// str for both sees the inputs error. Params are converted last, in
// add_node_impl.
PyObject* add_source(PyObject* self, PyObject* const* a) {
  std::string_view name;  // into the caller's str, which outlives the call
  if (!convert_str_argument(a[0], "name", name)) return nullptr;
  RecordBuffer record;
  start_record(record, NodeKind::kSource, name);
  return add_node_impl(store_of(self), record, a[1], nullptr);
}

template <NodeKind kKind>  // Op, Reduction
PyObject* add_named(PyObject* self, PyObject* const* a) {
  std::string_view name;
  IdBuffer inputs;
  if (!convert_str_argument(a[0], "name", name) || !convert_ids(a[1], "inputs", inputs)) return nullptr;
  RecordBuffer record;
  start_record(record, kKind, name);
  return add_node_impl(store_of(self), record, a[2], &inputs);
}

PyObject* add_external(PyObject* self, PyObject* const* a) {
  IdBuffer inputs;
  store::PayloadDescriptor d;
  if (!convert_ids(a[1], "inputs", inputs) || !convert_descriptor(a[0], d)) return nullptr;
  RecordBuffer record;
  start_record(record, NodeKind::kExternal);
  extend(record, store::SizedRecordWriter::descriptor_size(d)).descriptor(d);
  return add_node_impl(store_of(self), record, a[2], &inputs);
}

template <NodeKind kKind>  // Exchange, Join
PyObject* add_boundary(PyObject* self, PyObject* const* a) {
  IdBuffer inputs;
  if (!convert_ids(a[0], "inputs", inputs)) return nullptr;
  RecordBuffer record;
  start_record(record, kKind);
  return add_node_impl(store_of(self), record, a[1], &inputs);
}

constexpr ArgSignature kAddSource{"GraphStore.add_source()", {Interned::kName, Interned::kParams}, 2, 2, 1, 0};
constexpr ArgSignature kAddOp{"GraphStore.add_op()", {Interned::kName, Interned::kInputs, Interned::kParams}, 3, 3, 2, 0};
constexpr ArgSignature kAddReduction{
    "GraphStore.add_reduction()", {Interned::kName, Interned::kInputs, Interned::kParams}, 3, 3, 2, 0};
constexpr ArgSignature kAddExternal{
    "GraphStore.add_external()", {Interned::kDescriptor, Interned::kInputs, Interned::kParams}, 3, 3, 2, 0};
constexpr ArgSignature kAddExchange{"GraphStore.add_exchange()", {Interned::kInputs, Interned::kParams}, 2, 2, 1, 0};
constexpr ArgSignature kAddJoin{"GraphStore.add_join()", {Interned::kInputs, Interned::kParams}, 2, 2, 1, 0};

// ---- views -----------------------------------------------------------------------

PyObject* node_count(PyObject* self, PyObject* const*) {
  return PyLong_FromUnsignedLongLong(store_of(self).node_count());
}

PyObject* to_dot(PyObject* self, PyObject* const*) { return str_of(store_of(self).to_dot()).release(); }

PyObject* nodes(PyObject* self, PyObject* const*) { return nodes_to_python(store_of(self).snapshot()); }
PyObject* outputs(PyObject* self, PyObject* const*) { return ids_to_python(store_of(self).output_marks()); }
PyObject* node_map(PyObject* self, PyObject* const*) { return node_map_to_python(store_of(self).node_map()); }

constexpr ArgSignature kNodeCount{"GraphStore.node_count()", {}, 0, 0, 0, 0};
constexpr ArgSignature kToDot{"GraphStore.to_dot()", {}, 0, 0, 0, 0};
constexpr ArgSignature kNodes{"GraphStore.nodes()", {}, 0, 0, 0, 0};
constexpr ArgSignature kOutputs{"GraphStore.outputs()", {}, 0, 0, 0, 0};
constexpr ArgSignature kNodeMap{"GraphStore.node_map()", {}, 0, 0, 0, 0};

// ---- the type ----------------------------------------------------------------------

const PyMethodDef kCoreMethods[] = {
    method_def<kAddSource, add_source>("add_source",
     "add_source($self, name, params=None)\n--\n\n"
     "Add a Source node and return its id (the id of an equal node if one is stored)."),
    method_def<kAddOp, add_named<NodeKind::kOp>>("add_op",
     "add_op($self, name, inputs, params=None)\n--\n\n"
     "Add an Op node on earlier nodes and return its id (the id of an equal node if one is stored)."),
    method_def<kAddReduction, add_named<NodeKind::kReduction>>("add_reduction",
     "add_reduction($self, name, inputs, params=None)\n--\n\n"
     "Add a Reduction node on earlier nodes and return its id (the id of an equal node if one is stored)."),
    method_def<kAddExternal, add_external>("add_external",
     "add_external($self, descriptor, inputs, params=None)\n--\n\n"
     "Add an External node, the call of a payload described by a PayloadDescriptor or a dict with its\n"
     "fields, and return its id (the id of an equal node if one is stored)."),
    method_def<kAddExchange, add_boundary<NodeKind::kExchange>>("add_exchange",
     "add_exchange($self, inputs, params=None)\n--\n\n"
     "Add an Exchange node and return its id. An Exchange's identity is its scheme ParamMap (params)\n"
     "plus its one logical input; nodes() shows its kind as \"exchange\". The store does not enforce\n"
     "the input count."),
    method_def<kAddJoin, add_boundary<NodeKind::kJoin>>("add_join",
     "add_join($self, inputs, params=None)\n--\n\n"
     "Add a Join node and return its id. A Join's identity is its scheme ParamMap (params) plus its\n"
     "two ordered inputs [left, right]; nodes() shows its kind as \"join\". The store does not enforce\n"
     "the input count."),
    method_def<kNodeCount, node_count>("node_count",
     "node_count($self)\n--\n\nThe number of stored nodes."),
    method_def<kToDot, to_dot>("to_dot",
     "to_dot($self)\n--\n\nThe graph as Graphviz DOT text; output nodes are drawn as double circles."),
    method_def<kNodes, nodes>("nodes",
     "nodes($self)\n--\n\nOne dict per node, in id order."),
    method_def<kOutputs, outputs>("outputs",
     "outputs($self)\n--\n\nThe output marks, in the order they were marked."),
    method_def<kNodeMap, node_map>("node_map",
     "node_map($self)\n--\n\n"
     "For a store that came out of a reduction: per node of the reduced-from graph, None when it was\n"
     "dropped, else (reduced node id, member index or None). [] for any other store."),
};

constexpr char kDoc[] =
    "GraphStore()\n--\n\n"
    "Thread-safe interned graph store. Its state has interior mutability behind a mutex, so one\n"
    "store is safe to share across threads, under the global interpreter lock and on the\n"
    "free-threaded 3.14t interpreter.";

}  // namespace

PyObject* create_graph_store_type() {
  // The table lives as long as the type, which lives for the process.
  static std::vector<PyMethodDef> methods = [] {
    std::vector<PyMethodDef> all(std::begin(kCoreMethods), std::end(kCoreMethods));
    for (const PyMethodDef& m : graph_store_blob_methods()) all.push_back(m);
    for (const PyMethodDef& m : graph_store_reduce_methods()) all.push_back(m);
    all.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return all;
  }();
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kDoc)},
      {Py_tp_new, reinterpret_cast<void*>(new_owning<kNewSignature, store::GraphStore>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<StorePtr>)},
      {Py_tp_methods, methods.data()},
      {0, nullptr},
  };
  static PyType_Spec description = boxed_type_description<StorePtr>("builtins.GraphStore", slots);
  return PyType_FromSpec(&description);
}

store::GraphStore* graph_store_of(PyObject* object) noexcept {
  if (!PyObject_TypeCheck(object, module_objects().graph_store_type)) return nullptr;
  return unbox<StorePtr>(object).get();
}

PyObject* wrap_graph_store(std::unique_ptr<store::GraphStore> store) {
  return box(module_objects().graph_store_type, std::move(store));
}

}  // namespace brantel::py
