#pragma once

#include <cstdint>
#include <optional>

#include "store/model/node.h"

namespace brantel::store {

// Where a node of a reduced-from graph landed: the reduced node and, when it
// became a Stage member, the member's position.
struct Placement {
  NodeId node = 0;
  std::optional<std::uint64_t> member;
  friend bool operator==(const Placement&, const Placement&) = default;
};

// Absent when dead-code elimination dropped the node.
using NodeMapEntry = std::optional<Placement>;

}  // namespace brantel::store
