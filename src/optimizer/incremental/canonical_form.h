// CanonicalForm: the incremental reducer's state, folded one store node at a time
// (not thread safe; IncrementalReducer keeps one behind its lock).
//
// What it computes: for every consumed store node, the canonical id it was folded
// into (id_map), and a hash-consed list of canonical nodes whose inputs are
// canonical ids. Store node k is consumed exactly once, when the watermark is k.
//
// Phases, per node of a delta, in id order:
//   1. Remap: each input u becomes id_map[u]; an input at or beyond the watermark
//      stops the consumption and is reported (nodes consumed before it stay).
//   2. Identity: an Op with exactly one input, labelled as adding +0.0 or
//      multiplying by 1.0, folds into that input; nothing is added.
//   3. Commute: an Op with two inputs, no params and a commutative name is looked
//      up as it is, then with its inputs swapped; the first orientation met stays.
//   4. Hash-cons: otherwise the node is interned; a new node gets the next id.
//
// Worked example: store 0 src a, 1 src b, 2 add[0,1], 3 add[1,0],
// 4 mul{scalar 1.0, side l}[3], 5 neg[4], 6 neg[2] gives id_map [0,1,2,2,2,3,3]
// and the canonical nodes a, b, add[0,1], neg[2].
//
// Non-goals: no rule looks beyond one node and the canonical form so far (the
// engine's saturation does that at finalize); an identity-labelled Op with no
// input or with several is folded as an ordinary node, as the engine keeps it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "store/graph/arena.h"
#include "store/graph/node_list.h"
#include "store/graph/store_error.h"
#include "support/result.h"

namespace brantel::incremental {

class CanonicalForm {
 public:
  CanonicalForm() = default;

  // Folds `delta`, the store nodes from id watermark() on, in id order. Returns
  // the delta size, or BadNodeId for the first input id that is not consumed yet;
  // on failure the nodes before it stay consumed and total_work is not advanced.
  support::Result<std::uint64_t, store::StoreError> consume(const store::NodeList& delta) {
    auto folded = fold_all(delta);
    if (folded) count_work(*folded);
    return folded;
  }
  // consume() in two halves, for a caller that takes a delta in slices: the
  // slices are folded one by one and the work is counted once, after the last.
  support::Result<std::uint64_t, store::StoreError> fold_all(const store::NodeList& delta);
  void count_work(std::uint64_t nodes) { total_work_ += nodes; }
  // Reserves the canonical arena and id_map for a delta of `nodes` records
  // totalling `bytes`, so that one step over a whole store grows each of them
  // once instead of by repeated doubling and copying. fold_all calls it for its
  // own delta; a caller folding in slices calls it first for the whole delta.
  void make_room(std::size_t nodes, std::size_t bytes);

  std::uint64_t watermark() const { return id_map_.size(); }
  std::uint64_t total_work() const { return total_work_; }
  std::uint64_t canonical_count() const { return canonical_.size(); }
  const store::NodeList& nodes() const { return canonical_.nodes(); }
  std::span<const std::uint64_t> id_map() const { return id_map_; }

 private:
  // Folds one node whose remapped inputs are in inputs_ (`inputs_changed` when any
  // differs from the node's own); returns its canonical id.
  std::uint64_t fold(const store::NodeView& node, bool inputs_changed);

  // Every input of a canonical node is a smaller canonical id, so the arena's own
  // input check never fails here.
  store::NodeArena canonical_;
  // Entry k is the canonical id of store node k; every entry is < canonical_.size().
  std::vector<std::uint64_t> id_map_;
  std::uint64_t total_work_ = 0;
  // What make_room last reserved the arena for (records, record bytes).
  std::size_t room_nodes_ = 0;
  std::size_t room_bytes_ = 0;

  // Scratch reused across nodes so that a fold allocates only when the arena
  // copies in a new record.
  std::vector<store::NodeId> inputs_;
  std::string record_;
  std::string swapped_record_;
};

}  // namespace brantel::incremental
