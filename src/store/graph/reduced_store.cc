#include "store/graph/reduced_store.h"

#include <string>

#include "support/check.h"

namespace brantel::store {
namespace {

// Interns every record as it stands, in one batch under one lock hold, whose
// table probes overlap. True when each emitted node got its own position as id,
// as a reduction's output, one node per distinct computation, normally does;
// then the inputs, written as positions, were ids all along. False when two
// emitted nodes were equal: the ids after the first repeat have shifted, so
// the records interned since name the wrong inputs and the store is no good.
bool intern_as_they_stand(GraphStore& store, const NodeList& nodes, std::vector<NodeId>& ids) {
  std::vector<std::string_view> records;
  records.reserve(nodes.size());
  for (std::size_t q = 0; q < nodes.size(); ++q) records.push_back(nodes.record(q));
  store.reserve(nodes.size(), nodes.bytes().size());
  ids.assign(nodes.size(), 0);
  if (!store.intern_all(std::span<const std::string_view>(records), ids).ok()) return false;
  for (std::size_t q = 0; q < ids.size(); ++q) {
    if (ids[q] != q) return false;
  }
  return true;
}

// Interns the nodes one at a time, each with its inputs remapped to the ids the
// earlier ones got; two emitted nodes that are equal intern to one id, so ids
// need not be 0, 1, 2, ...
void intern_remapped(GraphStore& store, const NodeList& nodes, std::vector<NodeId>& ids) {
  ids.clear();
  ids.reserve(nodes.size());
  std::vector<NodeId> inputs;
  std::string record;
  for (std::size_t q = 0; q < nodes.size(); ++q) {
    const NodeView view = nodes.view(q);
    const IdsView in = view.inputs();
    inputs.clear();
    for (std::uint32_t k = 0; k < in.size(); ++k) {
      // A position at or past q has no id yet: the emitted order was not topological.
      BRANTEL_CHECK(in[k] < ids.size(), "reduced graph references only earlier nodes");
      inputs.push_back(ids[in[k]]);
    }
    record.clear();
    encode_with_inputs(view, inputs, record);
    const auto id = store.intern(std::string_view(record));
    BRANTEL_CHECK(id.ok(), "reduced graph references only earlier nodes");
    ids.push_back(*id);
  }
}

}  // namespace

std::unique_ptr<GraphStore> build_reduced_store(const NodeList& nodes,
                                                std::span<const std::uint64_t> outputs,
                                                std::vector<NodeMapEntry> node_map) {
  auto store = std::make_unique<GraphStore>();
  // ids[q] is the store id of emitted node q.
  std::vector<NodeId> ids;
  if (!intern_as_they_stand(*store, nodes, ids)) {
    store = std::make_unique<GraphStore>();
    intern_remapped(*store, nodes, ids);
  }
  for (const std::uint64_t q : outputs) {
    const auto marked = store->mark_output(support::at_checked(ids, q));
    BRANTEL_CHECK(marked.ok(), "reduced output is valid");
  }
  for (NodeMapEntry& e : node_map) {
    if (e) e->node = support::at_checked(ids, e->node);
  }
  store->set_node_map(std::move(node_map));
  return store;
}

}  // namespace brantel::store
