#include "store/graph/arena.h"

namespace brantel::store {

namespace {
constexpr std::size_t kInitialSlots = 16;
}

NodeArena::NodeArena() : seed_(support::random_seed()), slots_(kInitialSlots) {}

std::size_t NodeArena::probe(std::uint32_t hash, const NodeView& view, bool& found) const {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash & mask;
  for (;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.id_plus_one == 0) {
      found = false;
      return i;
    }
    if (s.hash == hash && records_equal(nodes_.record(s.id_plus_one - 1), view.record())) {
      found = true;
      return i;
    }
  }
}

void NodeArena::grow() { rehash(slots_.size() * 2); }

void NodeArena::rehash(std::size_t slot_count) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(slot_count, Slot{});
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.id_plus_one == 0) continue;
    std::size_t i = s.hash & mask;
    while (slots_[i].id_plus_one != 0) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

void NodeArena::reserve(std::size_t nodes, std::size_t bytes) {
  const std::size_t total = nodes_.size() + nodes;
  nodes_.reserve(total, nodes_.bytes().size() + bytes);
  // The same 3/4 load bound that intern() keeps.
  std::size_t slot_count = slots_.size();
  while (total * 4 > slot_count * 3) slot_count *= 2;
  if (slot_count != slots_.size()) rehash(slot_count);
}

std::optional<NodeId> NodeArena::find(const NodeView& view) const {
  const auto hash = static_cast<std::uint32_t>(hash_record(view, seed_));
  bool found = false;
  const std::size_t i = probe(hash, view, found);
  if (!found) return std::nullopt;
  return slots_[i].id_plus_one - 1;
}

support::Result<NodeArena::Interned, StoreError> NodeArena::intern(std::string_view record) {
  return intern(NodeView::parse(record));
}

std::uint32_t NodeArena::hash_of(const NodeView& view) const {
  return static_cast<std::uint32_t>(hash_record(view, seed_));
}

support::Result<NodeArena::Interned, StoreError> NodeArena::intern(const NodeView& view) {
  return intern(view, hash_of(view));
}

support::Result<NodeArena::Interned, StoreError> NodeArena::intern(const NodeView& view, std::uint32_t hash) {
  const std::size_t n = nodes_.size();
  const IdsView inputs = view.inputs();
  // Check against n, not n + 1: a node may not name itself.
  for (std::uint32_t k = 0; k < inputs.size(); ++k) {
    if (inputs[k] >= n) return support::Err{StoreError{inputs[k]}};
  }
  bool found = false;
  std::size_t i = probe(hash, view, found);
  if (found) return Interned{slots_[i].id_plus_one - 1, false};
  // Slots hold 32-bit ids; four billion nodes cannot fit in memory anyway.
  BRANTEL_CHECK(n < 0xffffffffULL, "node count fits the intern table");
  nodes_.append_record(view.record());
  slots_[i] = Slot{hash, static_cast<std::uint32_t>(n + 1)};
  if ((n + 1) * 4 > slots_.size() * 3) grow();
  return Interned{n, true};
}

}  // namespace brantel::store
