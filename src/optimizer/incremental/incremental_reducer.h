// IncrementalReducer: canonicalises a graph while it is still being built, then
// reduces the canonical form instead of the whole store.
//
// What it computes: step() folds the store nodes added since the last call into a
// CanonicalForm (identity elimination, commutativity dedup, hash-consing; see
// canonical_form.h), so every store node is processed once however often the
// caller steps. finalize() folds what is left and runs reduce_graph on the
// canonical form with a fresh SaturationEngine, then re-indexes the node map so
// that it speaks of store ids again.
//
// Phases of finalize, under the reducer lock:
//   1. consume the delta exactly as step() does;
//   2. map each requested output through id_map (BadNodeId for one not consumed);
//   3. reduce_graph on the canonical nodes with the mapped outputs;
//   4. node map entry i := the result's entry at id_map[i].
//
// Worked example: store 0 src x, 1 add{scalar 0.0, side r}[0], 2 neg[1],
// finalize(outputs=[2]): the canonical form is x, neg[0]; id_map [0, 0, 1]; the
// reduced result has two nodes and its node map has three entries, entries 0 and 1
// equal (the identity shares x's placement).
//
// Locking: one lock for the whole of every method, including the reduction run
// in finalize. It is taken before the store lock, which is held only inside
// store.copy_nodes_since, for the copy of one slice of the delta, and released
// before that slice is folded; no path takes this lock while holding a store
// lock. An internal error while the lock is held (a poisoned store lock
// included) poisons the reducer.
//
// One store per reducer: the first step or finalize ties the reducer to that
// store's serial, and any other store is refused (kOtherStore) before anything
// is read, so the canonical form never mixes two stores' ids.
//
// Non-goals: it does not build the reduced store; the caller does that from the
// ReductionResult.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "optimizer/incremental/canonical_form.h"
#include "optimizer/reduce/reduce_graph.h"
#include "store/graph/graph_store.h"
#include "store/graph/store_error.h"
#include "support/mutex.h"
#include "support/result.h"
#include "support/thread_annotations.h"

namespace brantel::incremental {

inline constexpr std::string_view kReducerPoisonedMessage = "incremental reducer poisoned";
inline constexpr std::string_view kOtherStoreMessage =
    "this IncrementalReducer was fed another GraphStore; use a new reducer for this store";

// Why step or finalize refused; either way the reducer is unchanged by the
// refused call (a bad output id) or by the whole call (another store).
struct ReducerError {
  enum class Kind { kBadNodeId, kOtherStore };
  Kind kind = Kind::kBadNodeId;
  store::NodeId bad_node_id = 0;  // for kBadNodeId
  friend bool operator==(const ReducerError&, const ReducerError&) = default;
};

std::string describe(const ReducerError& e);

class IncrementalReducer {
 public:
  IncrementalReducer();
  IncrementalReducer(const IncrementalReducer&) = delete;
  IncrementalReducer& operator=(const IncrementalReducer&) = delete;

  // Consumes the store's nodes from watermark() on; returns the delta size, or
  // kBadNodeId for an input that names no consumed node.
  support::Result<std::uint64_t, ReducerError> step(const store::GraphStore& store);

  std::uint64_t watermark() const;
  std::uint64_t total_work() const;
  std::uint64_t canonical_count() const;

  // `outputs` are store ids the caller already checked against the store's node
  // count. Consumes the delta, maps the outputs through id_map (kBadNodeId for one
  // not consumed), reduces the canonical form and re-indexes the node map to store
  // ids. The reducer stays usable afterwards.
  support::Result<reduce::ReductionResult, ReducerError> finalize(const store::GraphStore& store,
                                                               std::span<const store::NodeId> outputs,
                                                               bool maximal_fusion);

 private:
  // Ties the reducer to `store` on first use; false for any other store.
  bool accepts(const store::GraphStore& store) BRANTEL_REQUIRES(mu_);
  support::Result<std::uint64_t, ReducerError> consume_delta(const store::GraphStore& store)
      BRANTEL_REQUIRES(mu_);

  // About a megabyte of records: small enough to fold while in cache, large
  // enough that taking the store lock per slice costs nothing measurable.
  static constexpr std::uint64_t kSliceNodes = 1u << 14;

  mutable support::PoisonableMutex mu_{kReducerPoisonedMessage};
  CanonicalForm form_ BRANTEL_GUARDED_BY(mu_);
  // GraphStore::serial() of the store first fed; 0 (no store has it) until then.
  std::uint64_t store_serial_ BRANTEL_GUARDED_BY(mu_) = 0;
  // The slice being folded; kept so that its buffers are allocated once.
  store::NodeList slice_ BRANTEL_GUARDED_BY(mu_);
};

}  // namespace brantel::incremental
