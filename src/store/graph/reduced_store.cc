#include "store/graph/reduced_store.h"

#include <string>

#include "support/check.h"

namespace brantel::store {

std::unique_ptr<GraphStore> build_reduced_store(const NodeList& nodes,
                                                std::span<const std::uint64_t> outputs,
                                                std::vector<NodeMapEntry> node_map) {
  auto store = std::make_unique<GraphStore>();
  store->reserve(nodes.size(), nodes.bytes().size());
  // ids[q] is the store id of emitted node q. A reduction emits one node per
  // distinct computation, so normally each gets its own position as id and its
  // inputs, written as positions, are ids already; only after two emitted nodes
  // turned out equal are the inputs rewritten to the ids their positions got.
  std::vector<NodeId> ids;
  ids.reserve(nodes.size());
  bool positions_are_ids = true;
  std::vector<NodeId> inputs;
  std::string remapped;
  for (std::size_t q = 0; q < nodes.size(); ++q) {
    std::string_view record = nodes.record(q);
    if (!positions_are_ids) {
      const NodeView view = NodeView::parse(record);
      const IdsView in = view.inputs();
      inputs.clear();
      for (std::uint32_t k = 0; k < in.size(); ++k) {
        // A position at or past q has no id yet: the emitted order was not topological.
        BRANTEL_CHECK(in[k] < ids.size(), "reduced graph references only earlier nodes");
        inputs.push_back(ids[in[k]]);
      }
      remapped.clear();
      encode_with_inputs(view, inputs, remapped);
      record = remapped;
    }
    const auto id = store->intern(record);
    BRANTEL_CHECK(id.ok(), "reduced graph references only earlier nodes");
    ids.push_back(*id);
    positions_are_ids = positions_are_ids && *id == q;
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
