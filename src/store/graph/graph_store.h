// GraphStore: the thread-safe, hash-consed container of one IR graph.
//
// Every operation takes the lock for one lookup or one copy and releases it
// before returning; no operation calls out while holding it. Readers copy what
// they need (snapshot, nodes_since, ...) so conversions and reductions run on
// private copies while other threads keep adding.
#pragma once

#include <cstdint>
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

class GraphStore {
 public:
  GraphStore();
  GraphStore(const GraphStore&) = delete;
  GraphStore& operator=(const GraphStore&) = delete;

  // `record` must be canonical (params sorted, bools 0/1).
  support::Result<NodeId, StoreError> intern(std::string_view record);
  support::Result<NodeId, StoreError> intern(const Node& node);
  support::Result<support::Unit, StoreError> mark_output(NodeId id);

  std::uint64_t node_count() const;
  Snapshot snapshot() const;
  NodeList nodes() const;
  std::vector<NodeId> output_marks() const;
  std::vector<NodeMapEntry> node_map() const;
  NodeList nodes_since(std::uint64_t watermark) const;
  // DOT text, rendered under the lock.
  std::string to_dot() const;

  // Set once, by the reduced-store builder, before the store is shared.
  void set_node_map(std::vector<NodeMapEntry> map);

  std::size_t memory_bytes() const;

 private:
  mutable support::PoisonableMutex mu_{kStorePoisonedMessage};
  NodeArena arena_ BRANTEL_GUARDED_BY(mu_);
  // Ids in first-marked order, without duplicates; every id is < arena_.size().
  std::vector<NodeId> outputs_ BRANTEL_GUARDED_BY(mu_);
  std::vector<bool> marked_ BRANTEL_GUARDED_BY(mu_);
  std::vector<NodeMapEntry> node_map_ BRANTEL_GUARDED_BY(mu_);
};

}  // namespace brantel::store
