// Folding store nodes into the canonical form; its phases and a worked example
// are in canonical_form.h.
#include "optimizer/incremental/canonical_form.h"

#include <algorithm>
#include <span>
#include <string_view>

#include "optimizer/incremental/fold_rules.h"
#include "store/model/record.h"
#include "support/check.h"

namespace brantel::incremental {

namespace {

// node's record with `inputs` as its input list, written into `buffer`.
std::string_view write_remapped(const store::NodeView& node, std::span<const store::NodeId> inputs,
                                std::string& buffer) {
  buffer.clear();
  store::encode_with_inputs(node, inputs, buffer);
  return buffer;
}

}  // namespace

support::Result<std::uint64_t, store::StoreError> CanonicalForm::fold_all(const store::NodeList& delta) {
  make_room(delta.size(), delta.bytes().size());
  for (std::size_t k = 0; k < delta.size(); ++k) {
    const store::NodeView node = delta.view(k);
    const store::IdsView inputs = node.inputs();
    inputs_.clear();
    bool changed = false;
    for (std::uint32_t i = 0; i < inputs.size(); ++i) {
      const store::NodeId u = inputs[i];
      // Checked against the watermark as it is now: while the reducer is fed one
      // store, node k's inputs are below k and this never fails.
      if (u >= id_map_.size()) return support::Err{store::StoreError{u}};
      inputs_.push_back(id_map_[u]);
      changed |= id_map_[u] != u;
    }
    id_map_.push_back(fold(node, changed));
  }
  return static_cast<std::uint64_t>(delta.size());
}

void CanonicalForm::make_room(std::size_t nodes, std::size_t bytes) {
  // A remapped record is as long as the store record it comes from, so a delta
  // adds at most its own node count and bytes to the canonical form.
  const std::size_t want_nodes = canonical_.size() + nodes;
  const std::size_t want_bytes = canonical_.nodes().bytes().size() + bytes;
  if (want_nodes > room_nodes_ || want_bytes > room_bytes_) {
    // Doubling, so that a reducer stepped every few nodes still reserves only
    // a logarithmic number of times.
    room_nodes_ = std::max(want_nodes, 2 * room_nodes_);
    room_bytes_ = std::max(want_bytes, 2 * room_bytes_);
    canonical_.reserve(room_nodes_ - canonical_.size(), room_bytes_ - canonical_.nodes().bytes().size());
  }
  if (id_map_.capacity() < id_map_.size() + nodes) {
    id_map_.reserve(std::max(id_map_.size() + nodes, 2 * id_map_.capacity()));
  }
}

std::uint64_t CanonicalForm::fold(const store::NodeView& node, bool inputs_changed) {
  // One input only, as the engine's identity rules: folding add(x, y) into x
  // would drop y, and finalize would then compute something reduce() does not.
  if (inputs_.size() == 1 && is_identity_op(node)) return inputs_[0];

  // Remapping changes only the input list, so the params (and whether they hold
  // a NaN) are the node's own. Sources, and nodes whose inputs all map to
  // themselves, are already in canonical terms and need no new record.
  const bool has_nan = node.has_nan();
  std::string_view record = node.record();
  if (inputs_changed) record = write_remapped(node, inputs_, record_);
  const store::PreparedRecord direct{record, canonical_.hash(record, has_nan),
                                     store::PreparedRecord::bound_of(inputs_)};

  if (is_commutative_pair(node)) {
    if (std::optional<store::NodeId> id = canonical_.find(direct)) return *id;
    // add(x, x) swapped is itself, which was just looked up.
    if (inputs_[0] != inputs_[1]) {
      const store::NodeId swapped_inputs[] = {inputs_[1], inputs_[0]};
      const std::string_view swapped_record = write_remapped(node, swapped_inputs, swapped_record_);
      const store::PreparedRecord swapped{swapped_record, canonical_.hash(swapped_record, has_nan),
                                          direct.input_bound};
      if (std::optional<store::NodeId> id = canonical_.find(swapped)) return *id;
    }
  }

  auto interned = canonical_.intern(direct);
  BRANTEL_CHECK(interned.ok(), "canonical inputs name earlier canonical nodes");
  return interned->id;
}

}  // namespace brantel::incremental
