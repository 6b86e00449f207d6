// Property checks of reduce_graph over random graphs, shared by the runs with
// stand-in engines and with the real engine.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>

#include "optimizer/reduce/reduce_graph.h"
#include "reduce_test_support.h"
#include "store/graph/graph_store.h"
#include "store/graph/reduced_store.h"

namespace brantel::reduce::testing {

using EngineFactory = std::function<std::unique_ptr<engine::RewriteEngine>()>;

// A random pipeline-like graph, interned (so structurally equal nodes are one
// node) into a fresh store. It mixes plain ops, identity ops, bare commutative
// ops, every opaque kind, and externals whose node labels collide.
inline std::unique_ptr<store::GraphStore> random_store(std::mt19937_64& rng, std::size_t size) {
  auto store = std::make_unique<store::GraphStore>();
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  static const store::PayloadDescriptor kDescriptors[] = {
      {"a|b", "c", "f", "v", "io", std::nullopt}, {"a", "b|c", "f", "v", "io", std::nullopt},
      {"a", "b|c", "f", "v", "io", "-"},          {"m", "h", "f", "v", "io", std::nullopt}};
  static const char* kOpNames[] = {"add", "mul", "sub", "f", "g", "maximum"};
  auto add = [&](const Node& n) {
    auto id = store->intern(n);
    if (!id.ok()) ADD_FAILURE() << "generator produced a bad input";
  };
  add(Node::source("s0"));
  while (store->node_count() < size) {
    const std::size_t count = store->node_count();
    // Inputs mostly from the last few nodes, so chains form, sometimes from anywhere.
    auto input = [&] {
      const std::size_t window = std::min<std::size_t>(count, 5);
      return pick(4) == 0 ? pick(count) : count - 1 - pick(window);
    };
    auto inputs = [&](std::size_t arity) {
      std::vector<store::NodeId> in;
      for (std::size_t k = 0; k < arity; ++k) in.push_back(input());
      return in;
    };
    const std::size_t roll = pick(100);
    if (roll < 5) {
      add(Node::source("s" + std::to_string(pick(3))));
    } else if (roll < 55) {
      store::ParamMap params;
      if (pick(4) == 0) params.push_back({"k", I(static_cast<std::int64_t>(pick(2)))});
      add(Node::op(kOpNames[pick(6)], inputs(1 + pick(3)), params));
    } else if (roll < 67) {
      const bool is_add = pick(2) == 0;
      add(Node::op(is_add ? "add" : "mul", inputs(pick(5) == 0 ? 2 : 1),
                   identity_params(is_add ? 0.0 : 1.0, pick(2) == 0 ? "r" : "l")));
    } else if (roll < 77) {
      add(Node::external(kDescriptors[pick(4)], inputs(1 + pick(2))));
    } else if (roll < 85) {
      add(Node::reduction("sum", inputs(1)));
    } else if (roll < 92) {
      add(Node::exchange(inputs(1), {{"n", I(static_cast<std::int64_t>(pick(2)))}}));
    } else {
      add(Node::join(inputs(2)));
    }
  }
  return store;
}

inline std::vector<std::uint8_t> reachable_from(const NodeList& nodes, std::span<const std::uint64_t> outputs) {
  std::vector<std::uint8_t> seen(nodes.size(), 0);
  std::vector<std::uint64_t> stack(outputs.begin(), outputs.end());
  while (!stack.empty()) {
    const std::uint64_t id = stack.back();
    stack.pop_back();
    if (seen[id]) continue;
    seen[id] = 1;
    for (const store::NodeId in : nodes.node(id).inputs) stack.push_back(in);
  }
  return seen;
}

// Everything a reduction promises, checked against an independent walk and the
// reference interpreter.
inline void check_reduction(const NodeList& source, std::span<const std::uint64_t> outputs,
                            const ReductionResult& r) {
  const std::size_t n = source.size();
  ASSERT_EQ(r.counts.input_nodes, n);
  ASSERT_EQ(r.node_map.size(), n);
  ASSERT_EQ(r.outputs.size(), outputs.size());
  EXPECT_EQ(r.counts.reduced_nodes, r.nodes.size());
  EXPECT_EQ(r.counts.stages + r.counts.boundary_nodes, r.nodes.size());
  EXPECT_LE(r.counts.canonical_nodes, r.counts.reachable_nodes);

  std::size_t stage_nodes = 0;
  for (std::size_t p = 0; p < r.nodes.size(); ++p) {
    const Node node = r.nodes.node(p);
    ASSERT_NE(node.kind, store::NodeKind::kOp) << "position " << p;
    stage_nodes += node.kind == store::NodeKind::kStage;
    for (const store::NodeId in : node.inputs) ASSERT_LT(in, p) << "position " << p;
  }
  EXPECT_GE(stage_nodes, r.counts.stages);

  const std::vector<std::uint8_t> live = reachable_from(source, outputs);
  std::uint64_t live_count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    live_count += live[i];
    ASSERT_EQ(r.node_map[i].has_value(), live[i] != 0) << "node " << i;
    if (!r.node_map[i]) continue;
    const store::Placement& pl = *r.node_map[i];
    ASSERT_LT(pl.node, r.nodes.size()) << "node " << i;
    if (pl.member) {
      const Node target = r.nodes.node(pl.node);
      ASSERT_EQ(target.kind, store::NodeKind::kStage) << "node " << i;
      ASSERT_LT(*pl.member, target.members.size()) << "node " << i;
    }
    // Only an identity op can fold into an opaque operand; every other op
    // becomes a stage member.
    const Node original = source.node(i);
    if (original.kind == store::NodeKind::kOp && !is_identity_label(store::node_label(original))) {
      EXPECT_TRUE(pl.member.has_value()) << "op node " << i << " is not a stage member";
    }
  }
  EXPECT_EQ(r.counts.reachable_nodes, live_count);

  const Interpreter before(source);
  const Interpreter after(r.nodes);
  for (std::size_t k = 0; k < outputs.size(); ++k) {
    EXPECT_EQ(before.values[outputs[k]], after.values.at(r.outputs[k])) << "output " << k;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (r.node_map[i]) {
      EXPECT_EQ(before.values[i], after.at(*r.node_map[i])) << "node " << i;
    }
  }
}

inline void check_random_graphs(const EngineFactory& make_engine, int seeds) {
  for (int seed = 0; seed < seeds; ++seed) {
    std::mt19937_64 rng(static_cast<std::uint64_t>(seed));
    const std::size_t size = 1 + std::uniform_int_distribution<std::size_t>(0, 40)(rng);
    const auto store = random_store(rng, size);
    const NodeList nodes = store->nodes();
    std::vector<std::uint64_t> outputs;
    const std::size_t output_count = std::uniform_int_distribution<std::size_t>(0, 4)(rng);
    for (std::size_t k = 0; k < output_count; ++k) {
      outputs.push_back(std::uniform_int_distribution<std::size_t>(0, nodes.size() - 1)(rng));
    }
    for (const bool maximal : {false, true}) {
      SCOPED_TRACE("seed " + std::to_string(seed) + (maximal ? " maximal" : " single-use"));
      const ReductionResult r = reduce_graph(nodes, outputs, *make_engine(), maximal);
      check_reduction(nodes, outputs, r);
      if (::testing::Test::HasFatalFailure()) return;

      // Same inputs, same result.
      const ReductionResult again = reduce_graph(nodes, outputs, *make_engine(), maximal);
      EXPECT_EQ(again.nodes, r.nodes);
      EXPECT_EQ(again.outputs, r.outputs);
      EXPECT_EQ(again.node_map, r.node_map);
      EXPECT_EQ(again.counts, r.counts);

      // The reduced store reduces again, its stages now opaque boundary nodes.
      const auto reduced = store::build_reduced_store(r.nodes, r.outputs, r.node_map);
      const store::Snapshot snap = reduced->snapshot();
      const ReductionResult second = reduce_graph(snap.nodes, snap.outputs, *make_engine(), maximal);
      check_reduction(snap.nodes, snap.outputs, second);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

}  // namespace brantel::reduce::testing
