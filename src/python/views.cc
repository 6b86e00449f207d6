#include "python/views.h"

#include <string>

#include "python/errors.h"
#include "python/module.h"
#include "python/py_ref.h"
#include "store/graph/dot.h"
#include "store/model/label.h"

namespace brantel::py {

namespace {

using store::NodeKind;
using store::ParamTag;

// Fails when `value` is null (its construction failed) or the insert fails.
bool set_item(PyObject* dict, Interned key, Ref value) {
  return value && PyDict_SetItem(dict, module_objects().str(key), value.get()) == 0;
}

Ref value_of(const store::ParamValue& v) {
  switch (store::tag_of(v)) {
    case ParamTag::kInt: return Ref::steal(PyLong_FromLongLong(std::get<std::int64_t>(v)));
    case ParamTag::kFloat: return Ref::steal(PyFloat_FromDouble(store::float_value(std::get<store::FloatBits>(v))));
    case ParamTag::kBool: return Ref::borrow(std::get<bool>(v) ? Py_True : Py_False);
    case ParamTag::kStr: return str_of(std::get<std::string>(v));
  }
  support::panic("param tag is one of the four alternatives");
}

// A node's params and a stage member's parsed params, both in key order.
Ref params_of(const store::ParamMap& params) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return dict;
  for (const store::ParamEntry& e : params) {
    Ref key = str_of(e.key);
    if (!key) return Ref();
    Ref value = value_of(e.value);
    if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return Ref();
  }
  return dict;
}

// A list of ids from a vector or a record's IdsView.
template <typename Ids>
Ref id_list(const Ids& ids) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* id = PyLong_FromUnsignedLongLong(ids[i]);
    if (id == nullptr) return Ref();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id);
  }
  return list;
}

// Interned lists the kind names in NodeKind's order, from kSource to kJoin.
Interned kind_name(NodeKind kind) {
  static_assert(static_cast<int>(Interned::kJoin) - static_cast<int>(Interned::kSource) ==
                static_cast<int>(NodeKind::kJoin));
  return static_cast<Interned>(static_cast<int>(Interned::kSource) + static_cast<int>(kind));
}

Ref descriptor_of(const store::DescriptorView& d) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return dict;
  PyObject* out = dict.get();
  const bool ok = set_item(out, Interned::kKind, str_of(d.kind)) &&
                  set_item(out, Interned::kContentHash, str_of(d.content_hash)) &&
                  set_item(out, Interned::kFramework, str_of(d.framework)) &&
                  set_item(out, Interned::kVersion, str_of(d.version)) &&
                  set_item(out, Interned::kIoSchema, str_of(d.io_schema)) &&
                  set_item(out, Interned::kPreprocessingRef,
                           d.has_preprocessing_ref ? str_of(d.preprocessing_ref) : Ref::borrow(Py_None));
  return ok ? std::move(dict) : Ref();
}

Ref member_of(const store::MemberView& m) {
  const std::optional<store::MemberLabel> parsed = store::parse_member_label(m.label);
  if (!parsed) {
    raise_value_error("unparseable stage member token " + store::quote_escaped(m.label));
    return Ref();
  }
  Ref inputs = Ref::steal(PyList_New(m.arg_count));
  if (!inputs) return inputs;
  for (std::uint32_t i = 0; i < m.arg_count; ++i) {
    const store::StageRef r = m.arg(i);
    Ref index = Ref::steal(PyLong_FromUnsignedLongLong(r.index));
    if (!index) return Ref();
    PyObject* ref_kind = module_objects().str(r.kind == store::RefKind::kInput ? Interned::kInput : Interned::kMember);
    PyObject* pair = PyTuple_Pack(2, ref_kind, index.get());
    if (pair == nullptr) return Ref();
    PyList_SET_ITEM(inputs.get(), i, pair);
  }
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return dict;
  PyObject* out = dict.get();
  const bool ok = set_item(out, Interned::kKind, str_of(parsed->kind_word)) &&
                  set_item(out, Interned::kName, str_of(parsed->name)) &&
                  set_item(out, Interned::kParams, params_of(parsed->params)) &&
                  set_item(out, Interned::kInputs, std::move(inputs));
  return ok ? std::move(dict) : Ref();
}

Ref members_of(const store::MembersView& members) {
  Ref list = Ref::steal(PyList_New(members.size()));
  std::uint32_t j = 0;
  members.for_each([&](const store::MemberView& m) {
    if (!list) return;  // not made, or an earlier member failed
    Ref member = member_of(m);
    if (member) {
      PyList_SET_ITEM(list.get(), j++, member.release());
    } else {
      list = Ref();
    }
  });
  return list;
}

Ref node_of(const store::NodeView& v, store::NodeId id, bool output) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return dict;
  PyObject* out = dict.get();
  bool ok = set_item(out, Interned::kId, Ref::steal(PyLong_FromUnsignedLongLong(id))) &&
            set_item(out, Interned::kOutput, Ref::borrow(output ? Py_True : Py_False)) &&
            set_item(out, Interned::kInputs, id_list(v.inputs())) &&
            set_item(out, Interned::kKind, Ref::borrow(module_objects().str(kind_name(v.kind())))) &&
            set_item(out, Interned::kName, str_of(v.name())) &&
            set_item(out, Interned::kParams, params_of(v.params().to_map()));
  if (ok && v.kind() == NodeKind::kExternal) ok = set_item(out, Interned::kDescriptor, descriptor_of(v.descriptor()));
  if (ok && v.kind() == NodeKind::kStage) {
    ok = set_item(out, Interned::kNMembers, Ref::steal(PyLong_FromUnsignedLong(v.members().size()))) &&
         set_item(out, Interned::kMembers, members_of(v.members()));
  }
  return ok ? std::move(dict) : Ref();
}

}  // namespace

PyObject* nodes_to_python(const store::Snapshot& snapshot) {
  const std::size_t n = snapshot.nodes.size();
  std::vector<bool> marked(n, false);
  for (store::NodeId id : snapshot.outputs) marked[id] = true;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    Ref node = node_of(snapshot.nodes.view(i), i, marked[i]);
    // No partial list: the first failure (an unparseable member) ends the call.
    if (!node) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), node.release());
  }
  return list.release();
}

PyObject* ids_to_python(const std::vector<store::NodeId>& ids) { return id_list(ids).release(); }

PyObject* node_map_to_python(const std::vector<store::NodeMapEntry>& node_map) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(node_map.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < node_map.size(); ++i) {
    Ref item = Ref::borrow(Py_None);  // a dropped node
    if (node_map[i]) {
      Ref node = Ref::steal(PyLong_FromUnsignedLongLong(node_map[i]->node));
      Ref member = node_map[i]->member ? Ref::steal(PyLong_FromUnsignedLongLong(*node_map[i]->member))
                                       : Ref::borrow(Py_None);
      if (!node || !member) return nullptr;
      item = Ref::steal(PyTuple_Pack(2, node.get(), member.get()));
      if (!item) return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list.release();
}

}  // namespace brantel::py
