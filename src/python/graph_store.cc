#include "python/graph_store.h"

#include <array>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/method.h"
#include "python/module.h"
#include "python/views.h"

namespace brantel::py {

namespace {

using store::NodeKind;

GraphStoreObject* as_store_object(PyObject* self) { return reinterpret_cast<GraphStoreObject*>(self); }
store::GraphStore& store_of(PyObject* self) { return *as_store_object(self)->store; }

// ---- constructor and lifetime -------------------------------------------------

constexpr ArgSignature kNewSignature{"GraphStore.__new__()", {}, 0, 0, 0, 0};

PyObject* graph_store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    ArgSlots slots;
    std::array<Ref, kMaxArgs> keep;
    if (!parse_tuple_dict(kNewSignature, args, kwargs, slots, keep)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    std::construct_at(&as_store_object(self.get())->store, std::make_unique<store::GraphStore>());
    return self.release();
  });
}

void graph_store_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&as_store_object(self)->store);
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- add methods ---------------------------------------------------------------

// Interns the scratch's record with what writing it told us (its inputs and
// whether it holds a NaN), so the store neither parses nor scans it. The hash is
// taken before the store's lock; the store compares the borrowed bytes in place
// and copies them only when the node is new.
PyObject* intern_record(PyObject* self, const Scratch& scratch, std::span<const store::NodeId> inputs) {
  store::GraphStore& graph = store_of(self);
  const std::string_view record = store::bytes_of(scratch.record);
  const store::PreparedRecord prepared{record, graph.hash(record, scratch.params_have_nan),
                                       store::PreparedRecord::bound_of(inputs)};
  auto id = graph.intern(prepared);
  if (const store::StoreError* e = id.error()) return raise_store_error(*e);
  return PyLong_FromUnsignedLongLong(*id);
}

// The scratch's record is written front to back: these start it and append
// fields. The buffer keeps its capacity across calls, so an append is a bounds
// check and the copy.
void start_record(Scratch& scratch, NodeKind kind) {
  scratch.record.clear();
  scratch.record.push_back(static_cast<char>(kind));
}
void append_str(Scratch& scratch, std::string_view text) {
  store::SizedRecordWriter(scratch.record.extend(store::SizedRecordWriter::str_size(text))).str(text);
}
void append_ids(Scratch& scratch) {
  store::SizedRecordWriter(scratch.record.extend(store::SizedRecordWriter::ids_size(scratch.inputs)))
      .ids(scratch.inputs);
}

constexpr ArgSignature kAddSourceSignature{"GraphStore.add_source()", {Interned::kName, Interned::kParams}, 2, 2, 1, 0};

PyObject* graph_store_add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    ArgSlots slots;
    PyObject* const* a = arguments(kAddSourceSignature, args, nargs, kwnames, slots);
    if (a == nullptr) return nullptr;
    ScratchLease scratch;
    std::string_view name;
    if (!convert_str_argument(a[0], "name", name)) return nullptr;
    start_record(*scratch, NodeKind::kSource);
    append_str(*scratch, name);
    if (!append_params(a[1], *scratch)) return nullptr;
    return intern_record(self, *scratch, {});
  });
}

// Op and Reduction share one layout: name, params, inputs.
template <NodeKind kKind>
PyObject* add_named_with_inputs(const ArgSignature& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  ArgSlots slots;
  PyObject* const* a = arguments(signature, args, nargs, kwnames, slots);
  if (a == nullptr) return nullptr;
  ScratchLease scratch;
  std::string_view name;
  if (!convert_str_argument(a[0], "name", name) || !convert_ids(a[1], "inputs", scratch->inputs)) return nullptr;
  start_record(*scratch, kKind);
  append_str(*scratch, name);
  if (!append_params(a[2], *scratch)) return nullptr;
  append_ids(*scratch);
  return intern_record(self, *scratch, scratch->inputs);
}

constexpr ArgSignature kAddOpSignature{
    "GraphStore.add_op()", {Interned::kName, Interned::kInputs, Interned::kParams}, 3, 3, 2, 0};
constexpr ArgSignature kAddReductionSignature{
    "GraphStore.add_reduction()", {Interned::kName, Interned::kInputs, Interned::kParams}, 3, 3, 2, 0};

PyObject* graph_store_add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] { return add_named_with_inputs<NodeKind::kOp>(kAddOpSignature, self, args, nargs, kwnames); });
}

PyObject* graph_store_add_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return entry([&] {
    return add_named_with_inputs<NodeKind::kReduction>(kAddReductionSignature, self, args, nargs, kwnames);
  });
}

constexpr ArgSignature kAddExternalSignature{
    "GraphStore.add_external()", {Interned::kDescriptor, Interned::kInputs, Interned::kParams}, 3, 3, 2, 0};

PyObject* graph_store_add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    ArgSlots slots;
    PyObject* const* a = arguments(kAddExternalSignature, args, nargs, kwnames, slots);
    if (a == nullptr) return nullptr;
    ScratchLease scratch;
    // Inputs before the descriptor: a caller who passes a str for both sees the
    // inputs error.
    if (!convert_ids(a[1], "inputs", scratch->inputs) || !convert_descriptor(a[0], *scratch)) return nullptr;
    const DescriptorSlots& d = scratch->descriptor;
    start_record(*scratch, NodeKind::kExternal);
    for (std::string_view field : d.fields) append_str(*scratch, field);
    scratch->record.push_back(d.preprocessing_ref ? 1 : 0);
    if (d.preprocessing_ref) append_str(*scratch, *d.preprocessing_ref);
    if (!append_params(a[2], *scratch)) return nullptr;
    append_ids(*scratch);
    return intern_record(self, *scratch, scratch->inputs);
  });
}

// Exchange and Join share one layout: params, inputs.
template <NodeKind kKind>
PyObject* add_boundary(const ArgSignature& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  ArgSlots slots;
  PyObject* const* a = arguments(signature, args, nargs, kwnames, slots);
  if (a == nullptr) return nullptr;
  ScratchLease scratch;
  if (!convert_ids(a[0], "inputs", scratch->inputs)) return nullptr;
  start_record(*scratch, kKind);
  if (!append_params(a[1], *scratch)) return nullptr;
  append_ids(*scratch);
  return intern_record(self, *scratch, scratch->inputs);
}

constexpr ArgSignature kAddExchangeSignature{"GraphStore.add_exchange()", {Interned::kInputs, Interned::kParams}, 2, 2, 1, 0};
constexpr ArgSignature kAddJoinSignature{"GraphStore.add_join()", {Interned::kInputs, Interned::kParams}, 2, 2, 1, 0};

PyObject* graph_store_add_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return entry([&] { return add_boundary<NodeKind::kExchange>(kAddExchangeSignature, self, args, nargs, kwnames); });
}

PyObject* graph_store_add_join(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return entry([&] { return add_boundary<NodeKind::kJoin>(kAddJoinSignature, self, args, nargs, kwnames); });
}

// ---- views -----------------------------------------------------------------------

constexpr ArgSignature kNodeCountSignature{"GraphStore.node_count()", {}, 0, 0, 0, 0};
constexpr ArgSignature kToDotSignature{"GraphStore.to_dot()", {}, 0, 0, 0, 0};
constexpr ArgSignature kNodesSignature{"GraphStore.nodes()", {}, 0, 0, 0, 0};
constexpr ArgSignature kOutputsSignature{"GraphStore.outputs()", {}, 0, 0, 0, 0};
constexpr ArgSignature kNodeMapSignature{"GraphStore.node_map()", {}, 0, 0, 0, 0};

PyObject* graph_store_node_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    ArgSlots a;
    if (!parse_fastcall(kNodeCountSignature, args, nargs, kwnames, a)) return nullptr;
    return PyLong_FromUnsignedLongLong(store_of(self).node_count());
  });
}

PyObject* graph_store_to_dot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    ArgSlots a;
    if (!parse_fastcall(kToDotSignature, args, nargs, kwnames, a)) return nullptr;
    const std::string dot = store_of(self).to_dot();
    return PyUnicode_FromStringAndSize(dot.data(), static_cast<Py_ssize_t>(dot.size()));
  });
}

PyObject* graph_store_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    ArgSlots a;
    if (!parse_fastcall(kNodesSignature, args, nargs, kwnames, a)) return nullptr;
    return nodes_to_python(store_of(self).snapshot());
  });
}

PyObject* graph_store_outputs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    ArgSlots a;
    if (!parse_fastcall(kOutputsSignature, args, nargs, kwnames, a)) return nullptr;
    return ids_to_python(store_of(self).output_marks());
  });
}

PyObject* graph_store_node_map(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    ArgSlots a;
    if (!parse_fastcall(kNodeMapSignature, args, nargs, kwnames, a)) return nullptr;
    return node_map_to_python(store_of(self).node_map());
  });
}

// ---- the type ----------------------------------------------------------------------

const PyMethodDef kCoreMethods[] = {
    {"add_source", fastcall(graph_store_add_source), METH_FASTCALL | METH_KEYWORDS,
     "add_source($self, name, params=None)\n--\n\n"
     "Add a Source node and return its id (the id of an equal node if one is stored)."},
    {"add_op", fastcall(graph_store_add_op), METH_FASTCALL | METH_KEYWORDS,
     "add_op($self, name, inputs, params=None)\n--\n\n"
     "Add an Op node on earlier nodes and return its id (the id of an equal node if one is stored)."},
    {"add_reduction", fastcall(graph_store_add_reduction), METH_FASTCALL | METH_KEYWORDS,
     "add_reduction($self, name, inputs, params=None)\n--\n\n"
     "Add a Reduction node on earlier nodes and return its id (the id of an equal node if one is stored)."},
    {"add_external", fastcall(graph_store_add_external), METH_FASTCALL | METH_KEYWORDS,
     "add_external($self, descriptor, inputs, params=None)\n--\n\n"
     "Add an External node, the call of a payload described by a PayloadDescriptor or a dict with its\n"
     "fields, and return its id (the id of an equal node if one is stored)."},
    {"add_exchange", fastcall(graph_store_add_exchange), METH_FASTCALL | METH_KEYWORDS,
     "add_exchange($self, inputs, params=None)\n--\n\n"
     "Add an Exchange node and return its id. An Exchange's identity is its scheme ParamMap (params)\n"
     "plus its one logical input; nodes() shows its kind as \"exchange\". The store does not enforce\n"
     "the input count."},
    {"add_join", fastcall(graph_store_add_join), METH_FASTCALL | METH_KEYWORDS,
     "add_join($self, inputs, params=None)\n--\n\n"
     "Add a Join node and return its id. A Join's identity is its scheme ParamMap (params) plus its\n"
     "two ordered inputs [left, right]; nodes() shows its kind as \"join\". The store does not enforce\n"
     "the input count."},
    {"node_count", fastcall(graph_store_node_count), METH_FASTCALL | METH_KEYWORDS,
     "node_count($self)\n--\n\nThe number of stored nodes."},
    {"to_dot", fastcall(graph_store_to_dot), METH_FASTCALL | METH_KEYWORDS,
     "to_dot($self)\n--\n\nThe graph as Graphviz DOT text; output nodes are drawn as double circles."},
    {"nodes", fastcall(graph_store_nodes), METH_FASTCALL | METH_KEYWORDS,
     "nodes($self)\n--\n\nOne dict per node, in id order."},
    {"outputs", fastcall(graph_store_outputs), METH_FASTCALL | METH_KEYWORDS,
     "outputs($self)\n--\n\nThe output marks, in the order they were marked."},
    {"node_map", fastcall(graph_store_node_map), METH_FASTCALL | METH_KEYWORDS,
     "node_map($self)\n--\n\n"
     "For a store that came out of a reduction: per node of the reduced-from graph, None when it was\n"
     "dropped, else (reduced node id, member index or None). [] for any other store."},
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
      {Py_tp_new, reinterpret_cast<void*>(graph_store_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(graph_store_dealloc)},
      {Py_tp_methods, methods.data()},
      {0, nullptr},
  };
  static PyType_Spec type_description{"builtins.GraphStore", sizeof(GraphStoreObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return PyType_FromSpec(&type_description);
}

store::GraphStore* graph_store_of(PyObject* object) noexcept {
  if (!PyObject_TypeCheck(object, module_objects().graph_store_type)) return nullptr;
  return as_store_object(object)->store.get();
}

PyObject* wrap_graph_store(std::unique_ptr<store::GraphStore> store) {
  PyTypeObject* type = module_objects().graph_store_type;
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  std::construct_at(&as_store_object(self.get())->store, std::move(store));
  return self.release();
}

}  // namespace brantel::py
