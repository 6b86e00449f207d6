// The incremental reducer; its phases, locking and a worked example are in
// incremental_reducer.h.
#include "optimizer/incremental/incremental_reducer.h"

#include <algorithm>
#include <vector>

#include "optimizer/engine/saturation_engine.h"
#include "support/check.h"

namespace brantel::incremental {

using support::PoisonGuard;

std::string describe(const ReducerError& e) {
  if (e.kind == ReducerError::Kind::kOtherStore) return std::string(kOtherStoreMessage);
  return store::describe(store::StoreError{e.bad_node_id});
}

namespace {

support::Err<ReducerError> bad_node_id(const store::StoreError& e) {
  return support::Err{ReducerError{ReducerError::Kind::kBadNodeId, e.bad_node_id}};
}

support::Err<ReducerError> other_store() { return support::Err{ReducerError{ReducerError::Kind::kOtherStore}}; }

}  // namespace

IncrementalReducer::IncrementalReducer() = default;

bool IncrementalReducer::accepts(const store::GraphStore& store) {
  if (store_serial_ == 0) store_serial_ = store.serial();
  return store_serial_ == store.serial();
}

support::Result<std::uint64_t, ReducerError> IncrementalReducer::consume_delta(
    const store::GraphStore& store) {
  // The delta is every node the store holds when the step starts. It is copied in
  // slices, each under a short hold of the store lock (taken under ours), and each
  // folded while still in cache; other threads keep adding meanwhile. The nodes
  // are immutable once added, so slicing changes nothing but the memory touched.
  const std::uint64_t start = form_.watermark();
  const store::GraphStore::Delta delta = store.copy_nodes_since(start, kSliceNodes, slice_);
  const std::uint64_t end = delta.end;
  if (end > start) form_.make_room(end - start, delta.bytes);
  for (;;) {
    if (auto folded = form_.fold_all(slice_); !folded) return bad_node_id(*folded.error());
    const std::uint64_t at = form_.watermark();
    if (at >= end) break;
    store.copy_nodes_since(at, std::min(kSliceNodes, end - at), slice_);
  }
  const std::uint64_t consumed = form_.watermark() - start;
  form_.count_work(consumed);
  return consumed;
}

support::Result<std::uint64_t, ReducerError> IncrementalReducer::step(const store::GraphStore& store) {
  PoisonGuard lock(mu_);
  if (!accepts(store)) return other_store();
  return consume_delta(store);
}

std::uint64_t IncrementalReducer::watermark() const {
  PoisonGuard lock(mu_);
  return form_.watermark();
}

std::uint64_t IncrementalReducer::total_work() const {
  PoisonGuard lock(mu_);
  return form_.total_work();
}

std::uint64_t IncrementalReducer::canonical_count() const {
  PoisonGuard lock(mu_);
  return form_.canonical_count();
}

support::Result<reduce::ReductionResult, ReducerError> IncrementalReducer::finalize(
    const store::GraphStore& store, std::span<const store::NodeId> outputs, bool maximal_fusion) {
  PoisonGuard lock(mu_);
  if (!accepts(store)) return other_store();
  if (auto consumed = consume_delta(store); !consumed) return support::Err{*consumed.error()};

  const std::span<const std::uint64_t> id_map = form_.id_map();
  std::vector<std::uint64_t> canonical_outputs;
  canonical_outputs.reserve(outputs.size());
  for (store::NodeId o : outputs) {
    // After the consumption above the watermark is at least the store's node
    // count, so an id the caller checked against that count always maps; the
    // check stays because the ids come from the caller.
    if (o >= id_map.size()) return bad_node_id(store::StoreError{o});
    canonical_outputs.push_back(id_map[o]);
  }

  // Held for the whole run: calls on one reducer are serialised, and each sees
  // the previous one in full.
  engine::SaturationEngine engine;
  reduce::ReductionResult result = reduce::reduce_graph(form_.nodes(), canonical_outputs, engine, maximal_fusion);

  BRANTEL_CHECK(result.node_map.size() == form_.canonical_count(),
                "reduction maps every canonical node");
  std::vector<store::NodeMapEntry> node_map;
  node_map.reserve(id_map.size());
  for (std::uint64_t canonical_id : id_map) node_map.push_back(result.node_map[canonical_id]);
  result.node_map = std::move(node_map);
  return result;
}

}  // namespace brantel::incremental
