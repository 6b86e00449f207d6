// NodeArena: an append-only, hash-consed list of node records (not thread safe).
//
// The store keeps one behind its lock; the incremental reducer keeps one as its
// canonical form. Interning hashes the record once and compares it only with the
// records in its probe sequence, so an add costs one hash and, for a repeat, one
// memcmp; nothing is allocated unless the record is new. Each table slot keeps
// its record's byte offset, so a repeat touches the slot and the record bytes
// and never the offsets array in between.
//
// The intern table is split into segments by the record's largest input id
// (256 ids per segment; records without inputs go to segment 0), each an
// open-addressing table of its own. A pipeline is built front to back and a new
// node reads recent nodes, so consecutive adds probe the same few segments, which
// stay in cache, while one table of a million slots would miss the cache on
// nearly every probe. Segments are small (8 KiB when full) because callers
// interleave interning with other work: an incremental reducer folds a thousand
// nodes between a thousand Python calls, which evict its tables, and a small
// current segment comes back in a few lines where a large one took a miss per
// probe. Where a record lands follows from its content alone, so a repeat finds
// it; within a segment the slot comes from the seeded hash.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "store/graph/flat_buffer.h"
#include "store/graph/node_list.h"
#include "store/graph/store_error.h"
#include "store/model/record.h"
#include "support/result.h"

namespace brantel::store {

// A canonical record with what its writer or reader learned while handling it
// (the add methods, the blob decoder), so that interning neither parses nor
// scans the record again: its hash and one past its largest input id (0 without
// inputs), which is all the range check needs.
struct PreparedRecord {
  std::string_view record;
  std::uint32_t hash = 0;  // NodeArena::hash_with_seed of the record
  NodeId input_bound = 0;

  // Saturates rather than wrapping: the largest id is out of range anyway.
  static NodeId bound_with(NodeId bound, NodeId input) {
    return std::max(bound, input == std::numeric_limits<NodeId>::max() ? input : input + 1);
  }
  // `inputs`: a span or vector of ids, or a record's IdsView.
  template <typename Ids>
  static NodeId bound_of(const Ids& inputs) {
    NodeId bound = 0;
    for (decltype(inputs.size()) k = 0; k < inputs.size(); ++k) bound = bound_with(bound, inputs[k]);
    return bound;
  }
};

class NodeArena {
 public:
  NodeArena();  // a fresh random hash seed
  explicit NodeArena(std::uint64_t seed);

  struct Interned {
    NodeId id;
    bool inserted;
  };

  // `record` must be canonical. Fails with BadNodeId for the first input id not
  // below size(); the arena is then unchanged.
  support::Result<Interned, StoreError> intern(std::string_view record);
  support::Result<Interned, StoreError> intern(const NodeView& view);
  // The same, with `hash` = hash_of(view) computed beforehand: a caller with
  // many records hashes and prefetches a batch first, so the table's cache
  // misses overlap instead of stalling one record at a time.
  support::Result<Interned, StoreError> intern(const NodeView& view, std::uint32_t hash);
  std::uint32_t hash_of(const NodeView& view) const;
  // The same hash from the bytes alone. `has_nan` is NodeView::has_nan of the
  // record, which its writer knows; the seed is fixed for an arena's life, so
  // the hash can be taken before the owner's lock.
  static std::uint32_t hash_with_seed(std::string_view record, bool has_nan, std::uint64_t seed) {
    return static_cast<std::uint32_t>(hash_record(record, has_nan, seed));
  }
  // Checks the input bound against size() and interns `prepared.record`.
  support::Result<Interned, StoreError> intern(const PreparedRecord& prepared) {
    // Out of range somewhere: parse to name the first offending input, as intern(view) does.
    if (prepared.input_bound > nodes_.size()) return intern(NodeView::parse(prepared.record), prepared.hash);
    return insert(prepared.record, prepared.hash, prepared.input_bound);
  }
  // Starts loading the slot where `prepared`'s probe begins; no other effect.
  void prefetch(const PreparedRecord& prepared) const {
    const std::size_t k = segment_index(prepared.input_bound);
    if (k < segments_.size() && segments_[k].slot_count != 0) {
      const Segment& seg = segments_[k];
      __builtin_prefetch(slots_of(seg) + (prepared.hash & (seg.slot_count - 1)));
    }
  }
  // Looks a record up without inserting it.
  std::optional<NodeId> find(const NodeView& view) const;
  std::optional<NodeId> find(const PreparedRecord& prepared) const;
  // This arena's hash of a canonical record; `has_nan` as NodeView::has_nan.
  std::uint32_t hash(std::string_view record, bool has_nan) const { return hash_with_seed(record, has_nan, seed_); }
  // Makes room for `nodes` more records totalling `bytes`, so a reader that knows
  // its size up front does not grow by doubling.
  void reserve(std::size_t nodes, std::size_t bytes);

  std::size_t size() const { return nodes_.size(); }
  std::string_view record(NodeId id) const { return nodes_.record(id); }
  NodeView view(NodeId id) const { return nodes_.view(id); }
  const NodeList& nodes() const { return nodes_; }
  std::size_t memory_bytes() const;

 private:
  // 32 hash bits, the id + 1 (0 marks an empty slot) and where the record
  // starts in nodes_.bytes(); the stored hash bits make growing the table a
  // pass over the slots, with no rehash of records. All zeros is an empty slot.
  struct Slot {
    std::uint32_t hash;
    std::uint32_t id_plus_one;
    std::uint64_t offset;
  };

  // One table of the split intern table; power-of-two size, at most 3/4 full.
  // Tables of up to kFullSegmentSlots slots live side by side in pool_, from
  // slot `begin` on; a larger one (many records on one input: sources, a wide
  // fan-out) has a buffer of its own in large_[begin].
  struct Segment {
    std::uint64_t begin = 0;
    std::uint64_t slot_count = 0;  // 0 until the segment's first record
    std::uint64_t used = 0;
    bool large() const { return slot_count > kFullSegmentSlots; }
  };

  static constexpr unsigned kSegmentBits = 8;
  // The segment of a record whose inputs are all below `input_bound`.
  static std::size_t segment_index(NodeId input_bound) {
    return input_bound == 0 ? 0 : static_cast<std::size_t>((input_bound - 1) >> kSegmentBits);
  }

  std::size_t probe(const Segment& seg, std::uint32_t hash, std::string_view record, bool& found) const;
  bool slot_holds(const Slot& s, std::string_view record) const;
  // Interns a record whose inputs were checked and are all below `input_bound`.
  Interned insert(std::string_view record, std::uint32_t hash, NodeId input_bound);
  // Moves seg's slots into a fresh, empty table of `slot_count` slots.
  void rehash(Segment& seg, std::size_t slot_count);

  const Slot* slots_of(const Segment& seg) const {
    return seg.large() ? large_[seg.begin].data() : pool_.data() + seg.begin;
  }
  Slot* slots_of(const Segment& seg) { return const_cast<Slot*>(std::as_const(*this).slots_of(seg)); }

  static constexpr std::size_t kInitialSlots = 16;
  // Room for one node per id of a segment's range at the 3/4 load bound.
  static constexpr std::size_t kFullSegmentSlots = std::size_t{2} << kSegmentBits;

  std::uint64_t seed_;
  NodeList nodes_;
  std::vector<Segment> segments_;
  // The small tables, in one flat buffer: a million-node graph has thousands of
  // them, and as heap blocks of their own they were faulted in 4 KiB at a time,
  // which under a hypervisor cost more than filling them; a FlatBuffer this
  // large is on huge pages.
  FlatBuffer<Slot> pool_;
  // Where in pool_ a table left behind by growth starts, by log2 of its size;
  // a new table of that size takes it first.
  std::vector<std::uint64_t> free_by_log2_[kSegmentBits + 2];
  std::vector<FlatBuffer<Slot>> large_;
  // The size a new segment starts at (see insert()).
  std::size_t new_segment_slots_ = kInitialSlots;
};

}  // namespace brantel::store
