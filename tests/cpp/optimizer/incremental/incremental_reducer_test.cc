#include "optimizer/incremental/incremental_reducer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "optimizer/engine/saturation_engine.h"
#include "optimizer/reduce/reduce_graph.h"
#include "store/graph/graph_store.h"
#include "test_nodes.h"

namespace brantel::incremental {
namespace {

using namespace test_nodes;  // NOLINT: test-local shorthands
using store::GraphStore;
using store::Node;
using store::NodeId;
using store::NodeMapEntry;

std::uint64_t step_ok(IncrementalReducer& reducer, const GraphStore& store) {
  auto r = reducer.step(store);
  EXPECT_TRUE(r.ok());
  return r.ok() ? *r : 0;
}

reduce::ReductionResult finalize_ok(IncrementalReducer& reducer, const GraphStore& store,
                                 std::vector<NodeId> outputs, bool maximal_fusion = false) {
  auto r = reducer.finalize(store, outputs, maximal_fusion);
  if (!r) throw std::logic_error("finalize failed: " + describe(*r.error()));
  return std::move(*r);
}

reduce::ReductionResult reduce_store(const GraphStore& store, const std::vector<NodeId>& outputs) {
  engine::SaturationEngine engine;
  return reduce::reduce_graph(store.nodes(), outputs, engine, false);
}

void expect_same_result(const reduce::ReductionResult& a, const reduce::ReductionResult& b) {
  EXPECT_EQ(a.nodes, b.nodes);
  EXPECT_EQ(a.outputs, b.outputs);
  EXPECT_EQ(a.node_map, b.node_map);
  EXPECT_EQ(a.counts, b.counts);
}

// 0 src a, 1 src b, 2 add[0,1], 3 add[1,0], 4 mul{1.0, l}[3], 5 neg[4], 6 neg[2].
void build_worked_example(GraphStore& store) {
  const NodeId a = source(store, "a"), b = source(store, "b");
  const NodeId ab = op(store, "add", {a, b});
  const NodeId ba = op(store, "add", {b, a});
  const NodeId wrapped = op(store, "mul", {ba}, identity_params(1.0, "l"));
  op(store, "neg", {wrapped});
  op(store, "neg", {ab});
}

TEST(IncrementalReducer, FreshReducerIsEmpty) {
  IncrementalReducer reducer;
  EXPECT_EQ(reducer.watermark(), 0u);
  EXPECT_EQ(reducer.total_work(), 0u);
  EXPECT_EQ(reducer.canonical_count(), 0u);
}

TEST(IncrementalReducer, StepsConsumeOnlyTheDelta) {
  GraphStore store;
  const NodeId a = source(store, "a");
  const NodeId f = op(store, "f", {a});
  op(store, "g", {f});
  IncrementalReducer reducer;
  EXPECT_EQ(step_ok(reducer, store), 3u);
  EXPECT_EQ(step_ok(reducer, store), 0u);
  EXPECT_EQ(reducer.watermark(), 3u);
  EXPECT_EQ(reducer.total_work(), 3u);
  op(store, "h", {f});
  op(store, "k", {a});
  EXPECT_EQ(step_ok(reducer, store), 2u);
  EXPECT_EQ(reducer.total_work(), 5u);
  EXPECT_EQ(reducer.watermark(), 5u);
  EXPECT_EQ(reducer.canonical_count(), 5u);
}

// A reducer belongs to the store it was first fed. Another store, smaller or
// larger, and even a fresh one, is refused before anything is read, and the
// reducer stays as it was.
TEST(IncrementalReducer, AnotherStoreIsRefusedAndChangesNothing) {
  GraphStore first;
  build_worked_example(first);
  IncrementalReducer reducer;
  EXPECT_EQ(step_ok(reducer, first), 7u);
  const ReducerError refused{ReducerError::Kind::kOtherStore};
  for (int size : {1, 7, 9}) {
    GraphStore other;
    for (int i = 0; i < size; ++i) source(other, "s" + std::to_string(i));
    auto stepped = reducer.step(other);
    ASSERT_FALSE(stepped.ok()) << size;
    EXPECT_EQ(*stepped.error(), refused);
    auto finalized = reducer.finalize(other, std::vector<NodeId>{0}, false);
    ASSERT_FALSE(finalized.ok()) << size;
    EXPECT_EQ(*finalized.error(), refused);
    EXPECT_EQ(reducer.watermark(), 7u);
    EXPECT_EQ(reducer.total_work(), 7u);
    EXPECT_EQ(reducer.canonical_count(), 4u);
  }
  EXPECT_EQ(describe(refused), kOtherStoreMessage);
  EXPECT_EQ(finalize_ok(reducer, first, {6}).nodes.size(), 3u);
}

TEST(IncrementalReducer, FinalizeWithoutStepConsumesTheWholeStore) {
  GraphStore store;
  build_worked_example(store);
  IncrementalReducer reducer;
  const reduce::ReductionResult r = finalize_ok(reducer, store, {5, 6});
  EXPECT_EQ(reducer.watermark(), 7u);
  EXPECT_EQ(reducer.total_work(), 7u);
  EXPECT_EQ(r.counts.input_nodes, 4u);  // the canonical count, not the store's
  EXPECT_EQ(r.counts.input_nodes, reducer.canonical_count());
  ASSERT_EQ(r.node_map.size(), 7u);
  // Store nodes folded into one canonical node share its entry.
  EXPECT_EQ(r.node_map[3], r.node_map[2]);
  EXPECT_EQ(r.node_map[4], r.node_map[2]);
  EXPECT_EQ(r.node_map[5], r.node_map[6]);
  EXPECT_NE(r.node_map[2], r.node_map[5]);
  ASSERT_EQ(r.outputs.size(), 2u);
  EXPECT_EQ(r.outputs[0], r.outputs[1]);
}

TEST(IncrementalReducer, FinalizeTwiceReducesTheSameCanonicalForm) {
  GraphStore store;
  build_worked_example(store);
  IncrementalReducer reducer;
  const reduce::ReductionResult first = finalize_ok(reducer, store, {6, 0});
  const reduce::ReductionResult second = finalize_ok(reducer, store, {6, 0});
  expect_same_result(first, second);
  EXPECT_EQ(reducer.watermark(), 7u);
  EXPECT_EQ(reducer.total_work(), 7u);

  // Still usable: later nodes are stepped in and show up in the next node map.
  op(store, "late", {6});
  EXPECT_EQ(step_ok(reducer, store), 1u);
  const reduce::ReductionResult third = finalize_ok(reducer, store, {7});
  EXPECT_EQ(third.node_map.size(), 8u);
  EXPECT_EQ(third.counts.input_nodes, 5u);
}

// When no incremental rule goes beyond what the engine does, finalize and a plain
// reduction of the store agree on everything but the arena they started from,
// including the node map once it is re-indexed to store ids.
TEST(IncrementalReducer, FinalizeAgreesWithReducingTheStore) {
  GraphStore store;
  const NodeId a = source(store, "a"), b = source(store, "b");
  const NodeId a0 = op(store, "add", {a}, identity_params(0.0, "r"));
  const NodeId ab = op(store, "mul", {a0, b});
  const NodeId ba = op(store, "mul", {b, a});
  const NodeId f = op(store, "f", {ab}, params({{"k", int_value(3)}}));
  const NodeId g = op(store, "g", {ba, f});
  const NodeId sum = add(store, Node::reduction("sum", {g}));
  const NodeId h = op(store, "h", {sum});
  const std::vector<NodeId> outputs = {h, g};
  for (bool maximal : {false, true}) {
    IncrementalReducer reducer;
    const reduce::ReductionResult inc = finalize_ok(reducer, store, outputs, maximal);
    engine::SaturationEngine engine;
    const reduce::ReductionResult whole = reduce::reduce_graph(store.nodes(), outputs, engine, maximal);
    EXPECT_EQ(inc.nodes, whole.nodes) << maximal;
    EXPECT_EQ(inc.outputs, whole.outputs) << maximal;
    EXPECT_EQ(inc.node_map, whole.node_map) << maximal;
    EXPECT_EQ(inc.counts.canonical_nodes, whole.counts.canonical_nodes) << maximal;
    EXPECT_EQ(inc.counts.stages, whole.counts.stages) << maximal;
    EXPECT_EQ(inc.counts.reduced_nodes, whole.counts.reduced_nodes) << maximal;
    EXPECT_EQ(inc.counts.input_nodes, 7u) << maximal;
    EXPECT_EQ(whole.counts.input_nodes, 9u) << maximal;
  }
}

// Identity elimination takes one-input ops only, in both reductions: with no
// input there is nothing to forward to, and with several, folding into the first
// would drop the others. So finalize and reduce agree whatever the input count.
TEST(IncrementalReducer, IdentityLabelsAgreeWithReduceWhateverTheInputCount) {
  const std::pair<const char*, store::ParamMap> identities[] = {
      {"add", identity_params(0.0, "r")}, {"add", identity_params(0.0, "l")},
      {"mul", identity_params(1.0, "r")}, {"mul", identity_params(1.0, "l")}};
  for (std::size_t arity = 0; arity <= 3; ++arity) {
    for (const auto& [name, label] : identities) {
      GraphStore store;
      std::vector<NodeId> inputs;
      for (std::size_t i = 0; i < arity; ++i) inputs.push_back(source(store, "s" + std::to_string(i)));
      const NodeId z = op(store, name, inputs, label);
      const NodeId out = op(store, "neg", {z});
      IncrementalReducer reducer;
      const reduce::ReductionResult inc = finalize_ok(reducer, store, {out, z});
      const reduce::ReductionResult whole = reduce_store(store, {out, z});
      const std::string what = std::string(name) + " arity " + std::to_string(arity);
      EXPECT_EQ(inc.nodes, whole.nodes) << what;
      EXPECT_EQ(inc.outputs, whole.outputs) << what;
      EXPECT_EQ(inc.node_map, whole.node_map) << what;
      EXPECT_EQ(inc.counts.reduced_nodes, whole.counts.reduced_nodes) << what;
      EXPECT_EQ(inc.counts.input_nodes, store.node_count() - (arity == 1 ? 1 : 0)) << what;
    }
  }
}

// Outputs normally come checked against the store; an id the reducer has not
// consumed is still reported rather than read past id_map, and the delta stays in.
TEST(IncrementalReducer, FinalizeReportsAnOutputNotConsumed) {
  GraphStore store;
  build_worked_example(store);
  IncrementalReducer reducer;
  auto r = reducer.finalize(store, std::vector<NodeId>{1, 7, 100}, false);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error()->bad_node_id, 7u);
  EXPECT_EQ(reducer.watermark(), 7u);
  EXPECT_EQ(reducer.total_work(), 7u);
}

// Several threads step one reducer while another keeps adding: every node is
// consumed by exactly one step, and the result matches a reducer that saw the
// finished store in one go.
// A step over a delta longer than one slice folds it exactly as many small steps
// do, mirrors whose twin lies in an earlier slice included.
TEST(IncrementalReducer, LongDeltaFoldsAsManySmallSteps) {
  constexpr std::uint64_t kNodes = 50000;
  GraphStore store;
  IncrementalReducer small_steps;
  NodeId last = source(store, "s0");
  for (std::uint64_t i = 1; store.node_count() < kNodes; ++i) {
    const NodeId far = (i * 7919) % store.node_count();
    switch (i % 4) {
      case 0: last = op(store, "add", {last, far}); break;
      case 1: last = op(store, "add", {far, last}); break;
      case 2: last = op(store, "mul", {last}, identity_params(1.0, "l")); break;
      default: last = op(store, "neg", {last}); break;
    }
    if (i % 777 == 0) step_ok(small_steps, store);
  }
  IncrementalReducer one_step;
  EXPECT_EQ(step_ok(one_step, store), store.node_count());
  step_ok(small_steps, store);
  EXPECT_EQ(one_step.watermark(), store.node_count());
  EXPECT_EQ(one_step.total_work(), store.node_count());
  EXPECT_EQ(one_step.canonical_count(), small_steps.canonical_count());
  EXPECT_LT(one_step.canonical_count(), store.node_count());
  const std::vector<NodeId> outputs = {last, kNodes / 2, 0};
  expect_same_result(finalize_ok(one_step, store, outputs), finalize_ok(small_steps, store, outputs));
}

TEST(IncrementalReducer, ConcurrentStepsConsumeEveryNodeOnce) {
  constexpr int kSteppers = 4;
  constexpr std::uint64_t kNodes = 20000;
  GraphStore store;
  IncrementalReducer reducer;
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> consumed{0};

  std::thread adder([&] {
    NodeId last = source(store, "s0");
    NodeId pa = 0, pb = 0;
    for (std::uint64_t i = 1; store.node_count() < kNodes; ++i) {
      switch (i % 5) {
        case 0: last = source(store, "s" + std::to_string(i)); break;
        case 1: last = op(store, "add", {last}, identity_params(0.0, "r")); break;
        case 2:
          pa = last;
          pb = last / 2;
          last = op(store, "add", {pa, pb});
          break;
        case 3: last = op(store, "add", {pb, pa}); break;  // the mirror: folds into case 2's
        default: last = op(store, "neg", {last}); break;
      }
    }
    done.store(true);
  });
  std::vector<std::thread> steppers;
  for (int t = 0; t < kSteppers; ++t) {
    steppers.emplace_back([&] {
      while (!done.load()) {
        auto r = reducer.step(store);
        if (r.ok()) consumed.fetch_add(*r);
      }
    });
  }
  adder.join();
  for (std::thread& t : steppers) t.join();
  consumed += step_ok(reducer, store);

  EXPECT_EQ(consumed.load(), store.node_count());
  EXPECT_EQ(reducer.watermark(), store.node_count());
  EXPECT_EQ(reducer.total_work(), reducer.watermark());

  IncrementalReducer fresh;
  const std::vector<NodeId> outputs = {store.node_count() - 1, 3, 0};
  expect_same_result(finalize_ok(reducer, store, outputs), finalize_ok(fresh, store, outputs));
  EXPECT_EQ(reducer.canonical_count(), fresh.canonical_count());
}

}  // namespace
}  // namespace brantel::incremental
