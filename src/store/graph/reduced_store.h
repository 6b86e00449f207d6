#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "store/graph/graph_store.h"
#include "store/graph/node_list.h"
#include "store/model/node_map.h"

namespace brantel::store {

// Interns `nodes` in order into a new store (inputs are positions in `nodes`,
// remapped to the ids interning returns), marks `outputs` (positions) in order and
// stores `node_map` with its positions remapped the same way. The map is taken by
// value and remapped in place: at a million nodes a second one is tens of
// megabytes of fresh pages.
std::unique_ptr<GraphStore> build_reduced_store(const NodeList& nodes,
                                                std::span<const std::uint64_t> outputs,
                                                std::vector<NodeMapEntry> node_map);

}  // namespace brantel::store
