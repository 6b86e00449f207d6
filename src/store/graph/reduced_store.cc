#include "store/graph/reduced_store.h"

#include <string>

#include "support/check.h"

namespace brantel::store {

std::unique_ptr<GraphStore> build_reduced_store(const NodeList& nodes,
                                                std::span<const std::uint64_t> outputs,
                                                std::vector<NodeMapEntry> node_map) {
  auto store = std::make_unique<GraphStore>();
  // ids[q] is the store id of emitted node q; two emitted nodes that are equal
  // intern to one id, so ids need not be 0, 1, 2, ...
  std::vector<NodeId> ids;
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
    const auto id = store->intern(std::string_view(record));
    BRANTEL_CHECK(id.ok(), "reduced graph references only earlier nodes");
    ids.push_back(*id);
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
