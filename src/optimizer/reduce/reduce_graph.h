#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "optimizer/engine/rewrite_engine.h"
#include "store/graph/node_list.h"
#include "store/model/node_map.h"

namespace brantel::reduce {

struct ReductionCounts {
  std::uint64_t input_nodes = 0;
  std::uint64_t reachable_nodes = 0;
  std::uint64_t canonical_nodes = 0;
  std::uint64_t stages = 0;
  std::uint64_t reduced_nodes = 0;
  std::uint64_t boundary_nodes = 0;
  friend bool operator==(const ReductionCounts&, const ReductionCounts&) = default;
};

struct ReductionResult {
  store::NodeList nodes;                       // every input of node p is a position < p
  std::vector<std::uint64_t> outputs;          // one per input output, same order
  std::vector<store::NodeMapEntry> node_map;   // one per input node
  ReductionCounts counts;
};

// Dead-code elimination, canonicalisation through `engine`, common-subexpression
// elimination and stage fusion. Every id in `outputs` must be < nodes.size().
ReductionResult reduce_graph(const store::NodeList& nodes, std::span<const std::uint64_t> outputs,
                             engine::RewriteEngine& engine, bool maximal_fusion);

}  // namespace brantel::reduce
