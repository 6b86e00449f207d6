#include "store/graph/arena.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace brantel::store {

NodeArena::NodeArena() : NodeArena(support::random_seed()) {}

NodeArena::NodeArena(std::uint64_t seed) : seed_(seed) {}

bool NodeArena::slot_holds(const Slot& s, std::string_view record) const {
  // Records are prefix-free: every length and count is read before the bytes it
  // covers, so a record's bytes fix where it ends. When the bytes at a stored
  // record's start match all of `record`, that stored record is `record`, and
  // its length need not be looked up in the offsets array (one cache miss less).
  const std::string_view bytes = nodes_.bytes();
  if (s.offset <= bytes.size() && bytes.size() - s.offset >= record.size() &&
      std::memcmp(bytes.data() + s.offset, record.data(), record.size()) == 0) {
    return true;
  }
  // Different bytes can still be one node, through NaN payloads.
  return records_equal(nodes_.record(s.id_plus_one - 1), record);
}

inline std::size_t NodeArena::probe(const Segment& seg, std::uint32_t hash, std::string_view record,
                                    bool& found) const {
  const Slot* slots = slots_of(seg);
  const std::size_t mask = seg.slot_count - 1;
  std::size_t i = hash & mask;
  for (;; i = (i + 1) & mask) {
    const Slot& s = slots[i];
    if (s.id_plus_one == 0) {
      found = false;
      return i;
    }
    if (s.hash == hash && slot_holds(s, record)) {
      found = true;
      return i;
    }
  }
}

void NodeArena::rehash(Segment& seg, std::size_t slot_count) {
  // Everything that can fail to allocate comes first, so a failure leaves the
  // segment and the free lists as they were.
  const Segment old = seg;
  Segment grown = old;
  grown.slot_count = slot_count;
  std::vector<std::uint64_t>* reusable_new = nullptr;
  bool reuse = false;
  if (grown.large()) {
    grown.begin = large_.size();
    large_.emplace_back(FlatBuffer<Slot>::zeroed(slot_count));
  } else {
    reusable_new = &free_by_log2_[std::countr_zero(slot_count)];
    reuse = !reusable_new->empty();
    if (reuse) {
      grown.begin = reusable_new->back();
    } else {
      grown.begin = pool_.size();
      pool_.reserve_more(slot_count);
    }
  }
  std::vector<std::uint64_t>* reusable_old = nullptr;
  if (old.slot_count != 0 && !old.large()) {
    reusable_old = &free_by_log2_[std::countr_zero(old.slot_count)];
    try {
      // Doubling, as push_back would, so that the growth stays amortised.
      if (reusable_old->size() == reusable_old->capacity()) {
        reusable_old->reserve(std::max<std::size_t>(8, 2 * reusable_old->capacity()));
      }
    } catch (...) {
      if (grown.large()) large_.pop_back();
      throw;
    }
  }
  // Committed: nothing below allocates.
  if (!grown.large()) {
    if (reuse) {
      reusable_new->pop_back();
    } else {
      pool_.extend(slot_count);
    }
    std::memset(pool_.data() + grown.begin, 0, slot_count * sizeof(Slot));
  }
  seg = grown;
  Slot* slots = slots_of(seg);
  if (old.slot_count == 0) return;
  // Growing the pool above may have moved it, so the old table is found only now.
  const Slot* from = slots_of(old);
  const std::size_t mask = slot_count - 1;
  for (std::size_t k = 0; k < old.slot_count; ++k) {
    const Slot& s = from[k];
    if (s.id_plus_one == 0) continue;
    std::size_t i = s.hash & mask;
    while (slots[i].id_plus_one != 0) i = (i + 1) & mask;
    slots[i] = s;
  }
  if (old.large()) {
    large_[old.begin] = FlatBuffer<Slot>();
  } else {
    reusable_old->push_back(old.begin);
  }
}

void NodeArena::reserve(std::size_t nodes, std::size_t bytes) {
  // Only the records: how the new nodes spread over the segments is unknown, and
  // a segment grows in cache, where doubling it is cheap.
  nodes_.reserve(nodes_.size() + nodes, nodes_.bytes().size() + bytes);
}

std::size_t NodeArena::memory_bytes() const {
  std::size_t bytes = nodes_.memory_bytes() + segments_.capacity() * sizeof(Segment) +
                      pool_.capacity() * sizeof(Slot) + large_.capacity() * sizeof(FlatBuffer<Slot>);
  for (const FlatBuffer<Slot>& table : large_) bytes += table.capacity() * sizeof(Slot);
  for (const std::vector<std::uint64_t>& reusable : free_by_log2_) {
    bytes += reusable.capacity() * sizeof(std::uint64_t);
  }
  return bytes;
}

std::optional<NodeId> NodeArena::find(const NodeView& view) const {
  return find(PreparedRecord{view.record(), hash_of(view), PreparedRecord::bound_of(view.inputs())});
}

std::optional<NodeId> NodeArena::find(const PreparedRecord& prepared) const {
  // A record naming an id beyond the arena cannot be in it.
  if (prepared.input_bound > nodes_.size()) return std::nullopt;
  const std::size_t k = segment_index(prepared.input_bound);
  if (k >= segments_.size() || segments_[k].slot_count == 0) return std::nullopt;
  bool found = false;
  const Segment& seg = segments_[k];
  const std::size_t i = probe(seg, prepared.hash, prepared.record, found);
  if (!found) return std::nullopt;
  return slots_of(seg)[i].id_plus_one - 1;
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
  return insert(view.record(), hash, PreparedRecord::bound_of(inputs));
}

NodeArena::Interned NodeArena::insert(std::string_view record, std::uint32_t hash, NodeId input_bound) {
  const std::size_t n = nodes_.size();
  const std::size_t k = segment_index(input_bound);
  if (k >= segments_.size()) segments_.resize(k + 1);
  Segment& seg = segments_[k];
  if (seg.slot_count == 0) rehash(seg, new_segment_slots_);
  bool found = false;
  std::size_t i = probe(seg, hash, record, found);
  if (found) return Interned{slots_of(seg)[i].id_plus_one - 1, false};
  // Slots hold 32-bit ids; four billion nodes cannot fit in memory anyway.
  BRANTEL_CHECK(n < 0xffffffffULL, "node count fits the intern table");
  // The table grows before the record goes in, not after: a growth that fails
  // to allocate then leaves the arena without the node, so a failed add has
  // stored nothing and taken no id.
  if ((seg.used + 1) * 4 > seg.slot_count * 3) {
    rehash(seg, seg.slot_count * 2);
    // Later segments start at the size this one reached, up to what one node per
    // id of a segment's range needs: a graph built front to back fills them
    // alike, so they skip the doublings; a sparse one wastes at most that much
    // per segment, 32 bytes per node.
    new_segment_slots_ = std::max(new_segment_slots_, std::min<std::size_t>(seg.slot_count, kFullSegmentSlots));
    i = probe(seg, hash, record, found);
  }
  const std::uint64_t offset = nodes_.bytes().size();
  nodes_.append_record(record);
  slots_of(seg)[i] = Slot{hash, static_cast<std::uint32_t>(n + 1), offset};
  ++seg.used;
  return Interned{n, true};
}

}  // namespace brantel::store
