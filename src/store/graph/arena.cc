#include "store/graph/arena.h"

#include "support/check.h"

namespace brantel::store {

PreparedRecord PreparedRecord::of(const NodeView& view, std::uint64_t seed) {
  return PreparedRecord{view.record(), static_cast<std::uint32_t>(hash_record(view, seed)), bound_of(view.inputs())};
}

NodeArena::NodeArena() : NodeArena(support::random_seed()) {}

NodeArena::NodeArena(std::uint64_t seed) : seed_(seed) {}

support::Result<NodeArena::Interned, StoreError> NodeArena::intern(const PreparedRecord& prepared) {
  const std::size_t n = nodes_.size();
  // Out of range somewhere: parse to name the first offending input. Checked
  // against n, not n + 1: a node may not name itself.
  if (prepared.input_bound > n) {
    const IdsView inputs = NodeView::parse(prepared.record).inputs();
    for (std::uint32_t k = 0; k < inputs.size(); ++k) {
      if (inputs[k] >= n) return support::Err{StoreError{inputs[k]}};
    }
  }
  BRANTEL_CHECK(n < 0xffffffffULL, "node count fits the intern table");
  // The table grows before make() runs and make() appends last, so a failed
  // allocation leaves the arena without the node: a failed add stored nothing.
  auto [id, inserted] = table_.find_or_insert(table_hash(prepared.hash), holds(prepared.record), [&] {
    nodes_.append_record(prepared.record);
    return static_cast<std::uint32_t>(n);
  });
  return Interned{id, inserted};
}

std::optional<NodeId> NodeArena::find(const PreparedRecord& prepared) const {
  // A record naming an id beyond the arena cannot be in it.
  if (prepared.input_bound > nodes_.size()) return std::nullopt;
  const std::uint32_t* id = table_.find(table_hash(prepared.hash), holds(prepared.record));
  if (id == nullptr) return std::nullopt;
  return *id;
}

void NodeArena::reserve(std::size_t nodes, std::size_t bytes) {
  nodes_.reserve(nodes_.size() + nodes, nodes_.bytes().size() + bytes);
  table_.reserve(nodes_.size() + nodes);
}

}  // namespace brantel::store
