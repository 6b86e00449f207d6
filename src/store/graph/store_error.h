#pragma once

#include <string>

#include "store/model/node.h"

namespace brantel::store {

// The store's only error: an input or output id that names no node.
struct StoreError {
  NodeId bad_node_id = 0;
  friend bool operator==(const StoreError&, const StoreError&) = default;
};

inline std::string describe(const StoreError& e) { return "no node with id " + std::to_string(e.bad_node_id); }

}  // namespace brantel::store
