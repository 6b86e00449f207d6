// The random-graph properties again, with the real engine: identity ops fold into
// their operands and bare commutative ops merge across argument order, which the
// reference interpreter models, so every value must still agree.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "optimizer/engine/saturation_engine.h"
#include "reduce_property.h"

namespace brantel::reduce {
namespace {

TEST(ReduceGraphProperty, SaturationEngine) {
  testing::check_random_graphs([] { return std::make_unique<engine::SaturationEngine>(); }, 400);
}

// The engine's output skips the reduction's hash-consing; running it anyway must
// merge nothing.
class HashConsAnyway : public engine::RewriteEngine {
 public:
  engine::CanonicalTerms canonicalize(const engine::TermGraph& g) override {
    engine::CanonicalTerms out = inner_.canonicalize(g);
    out.distinct = false;
    return out;
  }

 private:
  engine::SaturationEngine inner_;
};

TEST(ReduceGraphProperty, SaturationEngineResultNeedsNoSecondHashCons) {
  for (int seed = 0; seed < 300; ++seed) {
    std::mt19937_64 rng(static_cast<std::uint64_t>(seed));
    const auto store = testing::random_store(rng, 2 + seed % 60);
    const store::NodeList nodes = store->nodes();
    // The later half of the nodes as outputs, so that most of the graph survives
    // dead-code elimination.
    std::vector<std::uint64_t> outputs;
    for (std::size_t i = nodes.size() / 2; i < nodes.size(); ++i) outputs.push_back(i);
    engine::SaturationEngine engine;
    HashConsAnyway anyway;
    const ReductionResult skipped = reduce_graph(nodes, outputs, engine, seed % 2 == 0);
    const ReductionResult full = reduce_graph(nodes, outputs, anyway, seed % 2 == 0);
    SCOPED_TRACE("seed " + std::to_string(seed));
    EXPECT_EQ(skipped.nodes, full.nodes);
    EXPECT_EQ(skipped.outputs, full.outputs);
    EXPECT_EQ(skipped.node_map, full.node_map);
    EXPECT_EQ(skipped.counts, full.counts);
  }
}

TEST(ReduceGraph, SaturationEngineMergesCommutedOpsAndIdentities) {
  // add(a, b) and add(b, a) become one term; x * 1.0 folds into x.
  const store::NodeList nodes = testing::list_of(
      {store::Node::source("a"), store::Node::source("b"), store::Node::op("add", {0, 1}),
       store::Node::op("add", {1, 0}), store::Node::op("mul", {2}, testing::identity_params(1.0, "r")),
       store::Node::join({3, 4})});
  engine::SaturationEngine engine;
  const ReductionResult r = reduce_graph(nodes, std::vector<std::uint64_t>{5}, engine, false);
  EXPECT_EQ(testing::dump(r.nodes), "0 src|a\n1 src|b\n2 stage [0,1] op|add(i0,i1)\n3 join [2,2]\n");
  EXPECT_EQ(r.node_map[2], r.node_map[3]);
  EXPECT_EQ(r.node_map[4], r.node_map[2]);
  EXPECT_EQ(r.counts, (ReductionCounts{6, 6, 4, 1, 4, 3}));
}

TEST(ReduceGraph, SaturationEngineKeepsCollidingExternalsApart) {
  const store::PayloadDescriptor first{"a|b", "c", "f", "v", "io", std::nullopt};
  const store::PayloadDescriptor second{"a", "b|c", "f", "v", "io", std::nullopt};
  const store::NodeList nodes = testing::list_of(
      {store::Node::source("s"), store::Node::external(first, {0}), store::Node::external(second, {0})});
  engine::SaturationEngine engine;
  const ReductionResult r = reduce_graph(nodes, std::vector<std::uint64_t>{1, 2}, engine, false);
  ASSERT_EQ(r.nodes.size(), 3u);
  EXPECT_EQ(r.nodes.node(r.outputs[0]).descriptor, first);
  EXPECT_EQ(r.nodes.node(r.outputs[1]).descriptor, second);
}

}  // namespace
}  // namespace brantel::reduce
