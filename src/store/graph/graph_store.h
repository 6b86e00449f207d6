// GraphStore: the thread-safe, hash-consed container of one IR graph.
//
// Every operation takes the lock for one lookup or one copy and releases it
// before returning; no operation calls out while holding it. Readers copy what
// they need (snapshot, nodes_since, ...) so conversions and reductions run on
// private copies while other threads keep adding.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/graph/arena.h"
#include "store/graph/node_list.h"
#include "store/graph/store_error.h"
#include "store/model/node_map.h"
#include "support/mutex.h"
#include "support/result.h"

namespace brantel::store {

inline constexpr std::string_view kStorePoisonedMessage = "brantel-core store mutex poisoned";

struct Snapshot {
  NodeList nodes;
  std::vector<NodeId> outputs;
};

// How much a store held at one moment: enough to size a blob of it before any
// record is copied.
struct StoreExtent {
  std::uint64_t node_count = 0;
  std::size_t record_bytes = 0;  // of those node_count records
  std::vector<NodeId> outputs;
};

class GraphStore {
 public:
  GraphStore();
  GraphStore(const GraphStore&) = delete;
  GraphStore& operator=(const GraphStore&) = delete;

  // The one add path. The Python add methods write the record, know its inputs
  // and whether it holds a NaN, and hash it with hash() before the lock, so the
  // lock is held for the table probe and the append alone.
  support::Result<NodeId, StoreError> intern(const PreparedRecord& prepared);
  // `record` must be canonical (params sorted, bools 0/1).
  support::Result<NodeId, StoreError> intern(std::string_view record) { return intern(prepare(record)); }
  support::Result<NodeId, StoreError> intern(const Node& node) { return intern(std::string_view(encode_node(node))); }
  // The store's hash of a canonical record; `has_nan` as NodeView::has_nan.
  // Takes no lock: the seed never changes.
  std::uint32_t hash(std::string_view record, bool has_nan) const {
    return NodeArena::hash_with_seed(record, has_nan, seed_);
  }
  PreparedRecord prepare(std::string_view record) const { return PreparedRecord::of(record, seed_); }
  // The one batch path: interns records in order under one lock hold, as many
  // intern() calls would; ids[k] receives record k's id. Stops at the first
  // BadNodeId, leaving the records before it interned and ids[k] unset from
  // there on.
  support::Result<support::Unit, StoreError> intern_all(std::span<const PreparedRecord> records,
                                                        std::span<NodeId> ids);
  support::Result<support::Unit, StoreError> mark_output(NodeId id);
  // Capacity for `nodes` more nodes of `bytes` record bytes in total (a hint).
  void reserve(std::size_t nodes, std::size_t bytes);

  std::uint64_t node_count() const;
  Snapshot snapshot() const;
  StoreExtent extent() const;
  // Copies the records of the first `count` nodes into `out`, which holds exactly
  // their bytes. The store only grows, so an extent taken earlier still describes
  // the same prefix however many nodes were added since.
  void copy_records(std::uint64_t count, std::span<char> out) const;
  NodeList nodes() const;
  std::vector<NodeId> output_marks() const;
  std::vector<NodeMapEntry> node_map() const;
  NodeList nodes_since(std::uint64_t watermark) const;
  // Copies at most `max_count` records from id `watermark` on into `out`
  // (reusing its buffers): a reader can take a long delta in slices that stay
  // in cache, each under a short hold. Returns the whole delta as it stood.
  struct Delta {
    std::uint64_t end = 0;    // the node count
    std::size_t bytes = 0;    // of the records from the watermark to end
  };
  Delta copy_nodes_since(std::uint64_t watermark, std::uint64_t max_count, NodeList& out) const;
  // DOT text, rendered under the lock.
  std::string to_dot() const;

  // Set once, by the reduced-store builder, before the store is shared.
  void set_node_map(std::vector<NodeMapEntry> map);

  std::size_t memory_bytes() const;

  // Unique among all stores this process ever creates (from 1 on); unlike an
  // address it is never reused, so a reducer tied to a store cannot mistake a
  // later store for it.
  std::uint64_t serial() const { return serial_; }

 private:
  friend class GraphStoreTestPeer;  // tests only: poisons mu_ the way a failed operation would

  mutable support::PoisonableMutex mu_{kStorePoisonedMessage};
  // Fixed at construction and never visible; declared before arena_, which is
  // built from it.
  const std::uint64_t seed_;
  const std::uint64_t serial_;
  NodeArena arena_ BRANTEL_GUARDED_BY(mu_);
  // Ids in first-marked order, without duplicates; every id is < arena_.size().
  std::vector<NodeId> outputs_ BRANTEL_GUARDED_BY(mu_);
  std::vector<bool> marked_ BRANTEL_GUARDED_BY(mu_);
  std::vector<NodeMapEntry> node_map_ BRANTEL_GUARDED_BY(mu_);
};

}  // namespace brantel::store
