// Stage fusion: the last step of a reduction. It partitions the canonical terms
// into fusion groups, orders the groups, and emits one reduced node per group: a
// Stage node for a group of op terms, and for every opaque term a boundary node
// rebuilt from its template with new inputs.
//
// Phases:
//   1. Roots: a flag for every root.
//   2. Grouping, from the last term down (consumers come after what they
//      consume, so their groups are final by then), by one of two rules.
//      Maximal: an op k that is not a root, has consumers, and whose consumers
//      are all ops already in one group g, joins g.
//      Single-use (default): the same, for an op with exactly one consumer
//      entry. mul(x, x) lists x twice, so x stays apart.
//      Either way a group's largest member is the only one referenced from
//      outside it, and a root is always the largest member of its group; the
//      largest member is the group's id.
//   3. Order: groups by ascending largest member, members ascending. This order
//      is topological. Walking the terms in order and emitting a group at its
//      largest member yields exactly that order without a sort.
//   4. Emission: a boundary group copies the template of its term's label with
//      the inputs pos[group[c]] for each child c; a stage group numbers its
//      members, turns each child inside the group into a `member` argument and
//      each outside group into an `input` slot (one slot per outside group, in
//      first-use order). Placements record (position, member or absent).
//   5. Outputs: pos[group[r]] for every root r.
//
// Example: terms 0 src|a, 1 op|f [0], 2 op|g [1], 3 red|sum [2]; root 3. Under
// both rules f joins g (g is its only consumer); g does not join sum (opaque).
// Emitted: 0 src|a; 1 Stage inputs [0], members op|f [input 0], op|g [member 0];
// 2 red|sum on [1]. Placements (0,-), (1,0), (1,1), (2,-); outputs [2].
//
// Not done here: no term is merged or reordered beyond grouping (that was the
// engine's and CSE's job), and no op is ever emitted as an Op node: an op nothing
// fuses with becomes a one-member stage.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "optimizer/engine/rewrite_engine.h"
#include "optimizer/reduce/template_table.h"
#include "store/graph/node_list.h"
#include "store/model/node_map.h"

namespace brantel::reduce {

struct FusionResult {
  store::NodeList nodes;                     // every input of node p is a position < p
  std::vector<std::uint64_t> outputs;        // one per root, same order
  std::vector<store::Placement> placements;  // one per term
  std::uint64_t stages = 0;
  std::uint64_t boundary_nodes = 0;
};

// `terms` must be topologically ordered (every child index below its term's) and
// carry is_opaque exactly for labels not starting with "op|"; every opaque
// term's label must be in `templates`.
FusionResult fuse_stages(std::span<const engine::EngineTerm> terms,
                         std::span<const std::uint64_t> roots, const TemplateTable& templates,
                         bool maximal_fusion);

}  // namespace brantel::reduce
