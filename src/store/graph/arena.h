// NodeArena: an append-only, hash-consed list of node records (not thread safe).
//
// The store keeps one behind its lock; the incremental reducer keeps one as its
// canonical form. Interning a record goes in three steps:
//   1. check its inputs against size() (a node may name only earlier nodes);
//   2. probe the intern table for an equal record, comparing only the records
//      whose hash matches, so a repeat costs one hash and one comparison;
//   3. if there is none, append the record and store its new id in the table.
// Nothing is allocated unless the record is new.
//
// Example: in an arena holding only node 0, interning op "neg" on input 0 passes
// the check (0 < 1), finds no equal record, appends it as node 1 and reports it
// inserted; the same bytes again return node 1, not inserted.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "store/graph/node_list.h"
#include "store/graph/store_error.h"
#include "store/model/record.h"
#include "support/hash_table.h"
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
  // Everything interning needs of a canonical record, learned by parsing it.
  static PreparedRecord of(const NodeView& view, std::uint64_t seed);
  static PreparedRecord of(std::string_view record, std::uint64_t seed) { return of(NodeView::parse(record), seed); }
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

  // `prepared.record` must be canonical. Fails with BadNodeId for the first
  // input id not below size(); the arena is then unchanged.
  support::Result<Interned, StoreError> intern(const PreparedRecord& prepared);
  // The same for a record not prepared yet.
  support::Result<Interned, StoreError> intern(std::string_view record) {
    return intern(PreparedRecord::of(record, seed_));
  }

  // The hash from the bytes alone. `has_nan` is NodeView::has_nan of the record,
  // which its writer knows; the seed is fixed for an arena's life, so the hash
  // can be taken before the owner's lock.
  static std::uint32_t hash_with_seed(std::string_view record, bool has_nan, std::uint64_t seed) {
    return static_cast<std::uint32_t>(hash_record(record, has_nan, seed));
  }
  // This arena's hash of a canonical record; `has_nan` as NodeView::has_nan.
  std::uint32_t hash(std::string_view record, bool has_nan) const { return hash_with_seed(record, has_nan, seed_); }
  std::uint32_t hash_of(const NodeView& view) const { return hash(view.record(), view.has_nan()); }

  // Looks a record up without inserting it.
  std::optional<NodeId> find(const PreparedRecord& prepared) const;
  std::optional<NodeId> find(const NodeView& view) const { return find(PreparedRecord::of(view, seed_)); }
  // Makes room for `nodes` more records totalling `bytes`, so a reader that knows
  // its size up front does not grow by doubling.
  void reserve(std::size_t nodes, std::size_t bytes);

  std::size_t size() const { return nodes_.size(); }
  std::string_view record(NodeId id) const { return nodes_.record(id); }
  NodeView view(NodeId id) const { return nodes_.view(id); }
  const NodeList& nodes() const { return nodes_; }
  std::size_t memory_bytes() const;

 private:
  // The table takes 64-bit hashes and keys on their upper half.
  static std::uint64_t table_hash(std::uint32_t hash) { return std::uint64_t{hash} << 32; }
  // Entries are node ids: ids are 32 bits in the table, as four billion nodes
  // cannot fit in memory anyway.
  using Entry = std::uint32_t;
  bool holds(Entry id, std::string_view record) const;

  using Table = support::HashTable<Entry>;

  std::uint64_t seed_;
  NodeList nodes_;
  // One table per 256 ids of a record's largest input: a pipeline is built
  // front to back and a new node reads recent nodes, so consecutive adds probe
  // the same few small tables, which stay in cache with the records they name.
  // Against one table: add -10 % at 100k nodes, -18 % at 1M; deserialize -15 %, -50 %.
  std::vector<Table> tables_;
};

}  // namespace brantel::store
