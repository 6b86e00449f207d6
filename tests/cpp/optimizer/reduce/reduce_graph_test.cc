#include "optimizer/reduce/reduce_graph.h"

#include <gtest/gtest.h>

#include <functional>

#include "optimizer/reduce/term_label.h"
#include "reduce_test_support.h"
#include "store/graph/reduced_store.h"
#include "support/check.h"

namespace brantel::reduce {
namespace {

using store::Node;
using store::NodeKind;
using store::PayloadDescriptor;
using store::Placement;
using testing::dump;
using testing::KeepEngine;
using testing::list_of;
using testing::MergingEngine;

constexpr std::nullopt_t kAbsent = std::nullopt;

std::vector<Node> worked_example() {
  return {Node::source("a"), Node::op("f", {0}), Node::op("g", {1}), Node::op("h", {0}),
          Node::reduction("sum", {2})};
}

TEST(ReduceGraph, WorkedExampleUnderBothRules) {
  const store::NodeList nodes = list_of(worked_example());
  for (const bool maximal : {false, true}) {
    KeepEngine engine;
    const ReductionResult r = reduce_graph(nodes, std::vector<std::uint64_t>{4}, engine, maximal);
    EXPECT_EQ(engine.calls, 1);
    ASSERT_EQ(engine.last_input.terms.size(), 4u);
    const std::vector<std::pair<std::string, engine::TermChildren>> expected_terms = {
        {"src|a", {}}, {"op|f", {0}}, {"op|g", {1}}, {"red|sum", {2}}};
    for (std::size_t t = 0; t < 4; ++t) {
      EXPECT_EQ(engine.last_input.terms[t].label, expected_terms[t].first);
      EXPECT_EQ(engine.last_input.terms[t].children, expected_terms[t].second);
      EXPECT_EQ(engine.last_input.terms[t].is_opaque, t == 0 || t == 3);
    }
    EXPECT_EQ(engine.last_input.roots, (std::vector<std::uint64_t>{3}));

    EXPECT_EQ(dump(r.nodes), "0 src|a\n1 stage [0] op|f(i0) op|g(m0)\n2 red|sum [1]\n");
    EXPECT_EQ(r.outputs, (std::vector<std::uint64_t>{2}));
    const std::vector<store::NodeMapEntry> map = {Placement{0, kAbsent}, Placement{1, 0},
                                                  Placement{1, 1}, kAbsent, Placement{2, kAbsent}};
    EXPECT_EQ(r.node_map, map);
    EXPECT_EQ(r.counts, (ReductionCounts{5, 4, 4, 1, 3, 2}));
  }
}

TEST(ReduceGraph, EmptyOutputsStillCallTheEngineOnce) {
  const store::NodeList nodes = list_of(worked_example());
  KeepEngine engine;
  const ReductionResult r = reduce_graph(nodes, {}, engine, false);
  EXPECT_EQ(engine.calls, 1);
  EXPECT_TRUE(engine.last_input.terms.empty());
  EXPECT_TRUE(r.nodes.empty());
  EXPECT_TRUE(r.outputs.empty());
  EXPECT_EQ(r.node_map, std::vector<store::NodeMapEntry>(5, kAbsent));
  EXPECT_EQ(r.counts, (ReductionCounts{5, 0, 0, 0, 0, 0}));

  KeepEngine engine2;
  const ReductionResult none = reduce_graph(store::NodeList{}, {}, engine2, true);
  EXPECT_EQ(engine2.calls, 1);
  EXPECT_EQ(none.counts, ReductionCounts{});
  EXPECT_TRUE(none.node_map.empty());
}

TEST(ReduceGraph, OutputsKeepOrderAndDuplicates) {
  const store::NodeList nodes = list_of(worked_example());
  KeepEngine engine;
  const ReductionResult r = reduce_graph(nodes, std::vector<std::uint64_t>{4, 0, 4, 3}, engine, false);
  EXPECT_EQ(engine.last_input.roots, (std::vector<std::uint64_t>{4, 0, 4, 3}));
  // h is now live; as an output it fuses into nothing and is a stage of its own.
  EXPECT_EQ(dump(r.nodes),
            "0 src|a\n1 stage [0] op|f(i0) op|g(m0)\n2 stage [0] op|h(i0)\n3 red|sum [1]\n");
  EXPECT_EQ(r.outputs, (std::vector<std::uint64_t>{3, 0, 3, 2}));
}

TEST(ReduceGraph, IdentityOpTakesItsOperandsEntry) {
  // x + 0.0 on the right and x * 1.0 on the left, over a source and over an op.
  const store::NodeList nodes =
      list_of({Node::source("x"), Node::op("add", {0}, testing::identity_params(0.0, "r")),
               Node::op("neg", {1}), Node::op("mul", {2}, testing::identity_params(1.0, "l")),
               Node::reduction("sum", {3})});
  MergingEngine engine;
  const ReductionResult r = reduce_graph(nodes, std::vector<std::uint64_t>{4, 3}, engine, false);
  EXPECT_EQ(dump(r.nodes), "0 src|x\n1 stage [0] op|neg(i0)\n2 red|sum [1]\n");
  EXPECT_EQ(r.node_map[1], r.node_map[0]);
  EXPECT_EQ(r.node_map[3], r.node_map[2]);
  EXPECT_EQ(r.node_map[2], (Placement{1, 0}));
  EXPECT_EQ(r.outputs, (std::vector<std::uint64_t>{2, 1}));
  EXPECT_EQ(r.counts, (ReductionCounts{5, 5, 3, 1, 3, 2}));
}

TEST(ReduceGraph, CseMergesTermsThatBecameEqual) {
  // After the identity add folds into x, f(x) and f(x + 0.0) are one term; this
  // engine does not hash-cons, so the pipeline has to.
  const store::NodeList nodes =
      list_of({Node::source("x"), Node::op("add", {0}, testing::identity_params(0.0, "l")),
               Node::op("f", {0}), Node::op("f", {1}), Node::join({2, 3})});
  MergingEngine engine(/*hash_cons=*/false);
  const ReductionResult r = reduce_graph(nodes, std::vector<std::uint64_t>{4, 2, 3}, engine, false);
  EXPECT_EQ(r.counts.canonical_nodes, 3u);
  EXPECT_EQ(dump(r.nodes), "0 src|x\n1 stage [0] op|f(i0)\n2 join [1,1]\n");
  EXPECT_EQ(r.node_map[2], r.node_map[3]);
  EXPECT_EQ(r.outputs, (std::vector<std::uint64_t>{2, 1, 1}));
}

TEST(ReduceGraph, CseMergesAcrossWideFanOutAndAmongLeaves) {
  // Twelve distinct ops on x, then the same twelve on x + 0.0: once the identity
  // folds, each second op repeats a first one, among many terms that share its child.
  std::vector<Node> nodes = {Node::source("x"),
                             Node::op("add", {0}, testing::identity_params(0.0, "r"))};
  std::vector<std::uint64_t> outputs;
  for (const store::NodeId operand : {0u, 1u}) {
    for (int k = 0; k < 12; ++k) {
      outputs.push_back(nodes.size());
      nodes.push_back(Node::op("f" + std::to_string(k), {operand}));
    }
  }
  MergingEngine engine(/*hash_cons=*/false);
  const ReductionResult r = reduce_graph(list_of(nodes), outputs, engine, false);
  EXPECT_EQ(r.counts.canonical_nodes, 13u);
  for (std::size_t k = 0; k < 12; ++k) EXPECT_EQ(r.outputs[k], r.outputs[k + 12]) << k;

  // A list (unlike a store) may hold one leaf twice.
  KeepEngine keep;
  const ReductionResult leaves = reduce_graph(
      list_of({Node::source("s"), Node::source("s"), Node::join({0, 1})}), std::vector<std::uint64_t>{2}, keep,
      false);
  EXPECT_EQ(dump(leaves.nodes), "0 src|s\n1 join [0,0]\n");
}

const PayloadDescriptor kModel{"model", "sha1", "torch", "2.1", "f32[4]", std::nullopt};

TEST(ReduceGraph, ExternalsWithOneDescriptorStayTwoBoundaryNodes) {
  const store::NodeList nodes = list_of({Node::source("a"), Node::source("b"),
                                         Node::external(kModel, {0}, {{"k", testing::I(1)}}),
                                         Node::external(kModel, {1, 0}, {{"k", testing::I(1)}})});
  MergingEngine engine;
  const ReductionResult r = reduce_graph(nodes, std::vector<std::uint64_t>{2, 3}, engine, false);
  ASSERT_EQ(r.nodes.size(), 4u);
  EXPECT_EQ(r.nodes.node(2), Node::external(kModel, {0}, {{"k", testing::I(1)}}));
  EXPECT_EQ(r.nodes.node(3), Node::external(kModel, {1, 0}, {{"k", testing::I(1)}}));
  EXPECT_EQ(r.counts.boundary_nodes, 4u);
}

// Pairs of externals that node_label cannot tell apart.
struct CollidingPair {
  const char* name;
  PayloadDescriptor first;
  PayloadDescriptor second;
};

void PrintTo(const CollidingPair& pair, std::ostream* os) { *os << pair.name; }

class CollidingExternals : public ::testing::TestWithParam<CollidingPair> {};

TEST_P(CollidingExternals, StayDistinctOnSharedAndOnSeparateInputs) {
  const CollidingPair& pair = GetParam();
  ASSERT_EQ(store::node_label(Node::external(pair.first, {})),
            store::node_label(Node::external(pair.second, {})))
      << "the pair must collide under node_label for this test to mean anything";
  // Same input: an engine keyed by node_label would hash-cons them into one.
  // Separate inputs: a template table keyed by node_label would rebuild the
  // second from the first's descriptor.
  for (const bool shared : {true, false}) {
    SCOPED_TRACE(shared ? "shared input" : "separate inputs");
    const store::NodeList nodes =
        list_of({Node::source("a"), Node::source("b"), Node::external(pair.first, {0}),
                 Node::external(pair.second, {shared ? 0u : 1u})});
    MergingEngine engine;
    const ReductionResult r = reduce_graph(nodes, std::vector<std::uint64_t>{2, 3}, engine, false);
    ASSERT_EQ(r.outputs.size(), 2u);
    EXPECT_NE(r.outputs[0], r.outputs[1]);
    EXPECT_EQ(r.nodes.node(r.outputs[0]).descriptor, pair.first);
    EXPECT_EQ(r.nodes.node(r.outputs[1]).descriptor, pair.second);
    EXPECT_EQ(r.node_map[3]->node, r.outputs[1]);
    // With a shared input, source b is dead.
    EXPECT_EQ(r.counts.canonical_nodes, shared ? 3u : 4u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, CollidingExternals,
    ::testing::Values(
        CollidingPair{"BarInKind", {"a|b", "c", "f", "v", "io", std::nullopt},
                      {"a", "b|c", "f", "v", "io", std::nullopt}},
        CollidingPair{"AbsentReferenceAndDash", {"k", "h", "f", "v", "io", std::nullopt},
                      {"k", "h", "f", "v", "io", "-"}},
        CollidingPair{"BarInReference", {"k", "h", "f", "v", "io|x", "y"},
                      {"k", "h", "f", "v", "io", "x|y"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReduceGraph, ReReducedStagesComeThroughAsTheirOwnBoundaryNodes) {
  // Two different two-member stages share the label "stage|2". On one shared
  // input an engine keyed by that label would merge them; on separate inputs a
  // template table keyed by it would rebuild the second as the first.
  for (const bool shared : {true, false}) {
    SCOPED_TRACE(shared ? "shared input" : "separate inputs");
    const store::NodeList source =
        list_of({Node::source("a"), Node::source("b"), Node::op("f", {0}), Node::op("g", {2}),
                 Node::op("h", {shared ? 0u : 1u}), Node::op("k", {4}), Node::join({3, 5})});
    KeepEngine first_engine;
    const ReductionResult first = reduce_graph(source, std::vector<std::uint64_t>{6, 1}, first_engine, false);
    ASSERT_EQ(first.counts.stages, 2u);
    const auto store = store::build_reduced_store(first.nodes, first.outputs, first.node_map);
    const store::Snapshot snap = store->snapshot();
    ASSERT_EQ(store::node_label(snap.nodes.node(2)), store::node_label(snap.nodes.node(3)));

    MergingEngine engine;
    const ReductionResult again = reduce_graph(snap.nodes, snap.outputs, engine, false);
    EXPECT_EQ(again.counts.stages, 0u);
    EXPECT_EQ(again.counts.canonical_nodes, 5u);
    EXPECT_EQ(dump(again.nodes), dump(snap.nodes));
    for (std::size_t i = 0; i < snap.nodes.size(); ++i) {
      EXPECT_EQ(again.node_map[i], (Placement{i, kAbsent}));
    }
    // The engine saw the stages as opaque terms under distinct keys.
    EXPECT_TRUE(term_label(snap.nodes.view(2)).starts_with(kStageKeyPrefix));
    EXPECT_NE(term_label(snap.nodes.view(2)), term_label(snap.nodes.view(3)));
  }
}

TEST(ReduceGraph, MillionOpChainReducesWithoutRecursion) {
  constexpr std::size_t kOps = 1'000'000;
  store::NodeList nodes;
  nodes.reserve(kOps + 1, 32 * (kOps + 1));
  nodes.append(Node::source("s"));
  for (std::size_t i = 0; i < kOps; ++i) nodes.append(Node::op("f", {i}));
  for (const bool maximal : {false, true}) {
    KeepEngine engine(/*record_input=*/false);
    const ReductionResult r = reduce_graph(nodes, std::vector<std::uint64_t>{kOps}, engine, maximal);
    ASSERT_EQ(r.nodes.size(), 2u);
    const store::NodeView stage = r.nodes.view(1);
    ASSERT_EQ(stage.kind(), NodeKind::kStage);
    EXPECT_EQ(stage.members().size(), kOps);
    EXPECT_EQ(r.outputs, (std::vector<std::uint64_t>{1}));
    ASSERT_EQ(r.node_map.size(), kOps + 1);
    EXPECT_EQ(r.node_map[kOps], (Placement{1, kOps - 1}));
    EXPECT_EQ(r.node_map[1], (Placement{1, 0}));
    EXPECT_EQ(r.counts, (ReductionCounts{kOps + 1, kOps + 1, kOps + 1, 1, 2, 1}));
  }
}

// An engine built from a function, for results that break the contract.
class FnEngine : public engine::RewriteEngine {
 public:
  explicit FnEngine(std::function<engine::CanonicalTerms(const engine::TermGraph&)> fn) : fn_(std::move(fn)) {}
  engine::CanonicalTerms canonicalize(const engine::TermGraph& g) override { return fn_(g); }

 private:
  std::function<engine::CanonicalTerms(const engine::TermGraph&)> fn_;
};

struct BrokenEngineRow {
  const char* name;
  std::function<void(engine::CanonicalTerms&)> damage;
};

class BrokenEngine : public ::testing::TestWithParam<BrokenEngineRow> {};

TEST_P(BrokenEngine, IsAnInternalError) {
  const store::NodeList nodes = list_of(worked_example());
  // Terms promised distinct skip the hash-consing, not the checks.
  for (const bool distinct : {false, true}) {
    FnEngine engine([&](const engine::TermGraph& g) {
      KeepEngine keep;
      engine::CanonicalTerms out = keep.canonicalize(g);
      out.distinct = distinct;
      GetParam().damage(out);
      return out;
    });
    EXPECT_THROW(reduce_graph(nodes, std::vector<std::uint64_t>{4}, engine, false), support::InternalError)
        << (distinct ? "distinct" : "hash-consed");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BrokenEngine,
    ::testing::Values(
        BrokenEngineRow{"ChildNotEarlier", [](engine::CanonicalTerms& c) { c.terms[1].children = {1}; }},
        BrokenEngineRow{"ChildPastTheEnd", [](engine::CanonicalTerms& c) { c.terms[3].children = {9}; }},
        BrokenEngineRow{"ShortTermMap", [](engine::CanonicalTerms& c) { c.term_map.pop_back(); }},
        BrokenEngineRow{"TermMapPastTheEnd", [](engine::CanonicalTerms& c) { c.term_map[0] = 7; }},
        BrokenEngineRow{"LostRoot", [](engine::CanonicalTerms& c) { c.roots.clear(); }},
        BrokenEngineRow{"RootPastTheEnd", [](engine::CanonicalTerms& c) { c.roots[0] = 4; }},
        BrokenEngineRow{"OpaqueLabelWithoutTemplate",
                        [](engine::CanonicalTerms& c) { c.terms[3].label = "red|other"; }},
        BrokenEngineRow{"OpFlaggedOpaque", [](engine::CanonicalTerms& c) { c.terms[1].is_opaque = true; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReduceGraph, OutputPastTheArenaIsAnInternalError) {
  const store::NodeList nodes = list_of(worked_example());
  KeepEngine engine;
  EXPECT_THROW(reduce_graph(nodes, std::vector<std::uint64_t>{5}, engine, false), support::InternalError);
}

}  // namespace
}  // namespace brantel::reduce
