// NodeArena: an append-only, hash-consed list of node records (not thread safe).
//
// The store keeps one behind its lock; the incremental reducer keeps one as its
// canonical form. Interning hashes the record once and compares it only with the
// records in its probe sequence, so an add costs one hash and, for a repeat, one
// memcmp; nothing is allocated unless the record is new.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "store/graph/node_list.h"
#include "store/graph/store_error.h"
#include "support/result.h"

namespace brantel::store {

class NodeArena {
 public:
  NodeArena();  // a fresh random hash seed

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
  void prefetch(std::uint32_t hash) const { __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]); }
  // Looks a record up without inserting it.
  std::optional<NodeId> find(const NodeView& view) const;
  // Makes room for `nodes` more records totalling `bytes`, so a reader that knows
  // its size up front does not grow by doubling.
  void reserve(std::size_t nodes, std::size_t bytes);

  std::size_t size() const { return nodes_.size(); }
  std::string_view record(NodeId id) const { return nodes_.record(id); }
  NodeView view(NodeId id) const { return nodes_.view(id); }
  const NodeList& nodes() const { return nodes_; }
  std::size_t memory_bytes() const {
    return nodes_.memory_bytes() + slots_.capacity() * sizeof(Slot);
  }

 private:
  // 32 hash bits and the id + 1 (0 marks an empty slot); the stored hash bits
  // make growing the table a pass over the slots, with no rehash of records.
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t id_plus_one = 0;
  };

  std::size_t probe(std::uint32_t hash, const NodeView& view, bool& found) const;
  void grow();
  void rehash(std::size_t slot_count);

  std::uint64_t seed_;
  NodeList nodes_;
  std::vector<Slot> slots_;  // power-of-two size, at most 3/4 full
};

}  // namespace brantel::store
