// reduce_graph with the real engine on pipeline-shaped graphs, under both fusion
// rules. The graph repeats a 16-node block: a fresh source, ops with parameters,
// identity ops the engine folds, a commuted duplicate it merges, a reduction, an
// external call, an exchange and a join; each block also reads the previous
// block's join, so everything is reachable from the last one. The counter
// ns_per_node is the figure to compare (target: 600 at a million nodes).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "optimizer/engine/saturation_engine.h"
#include "optimizer/reduce/reduce_graph.h"
#include "store/graph/graph_store.h"

namespace {

using brantel::store::Node;
using brantel::store::NodeId;
using brantel::store::ParamValue;

ParamValue int_param(std::int64_t v) { return ParamValue(std::in_place_index<0>, v); }
ParamValue float_param(double v) { return ParamValue(std::in_place_index<1>, brantel::store::float_bits_of(v)); }
ParamValue str_param(const char* v) { return ParamValue(std::in_place_index<3>, std::string(v)); }

struct Pipeline {
  brantel::store::NodeList nodes;
  std::vector<std::uint64_t> outputs;
};

Pipeline make_pipeline(std::size_t target_nodes) {
  brantel::store::GraphStore store;
  auto add = [&](const Node& n) { return *store.intern(n); };
  const brantel::store::PayloadDescriptor model{"onnx", "sha256:4f2a", "onnxruntime", "1.17", "f32[8]", std::nullopt};
  Pipeline p;
  NodeId prev = add(Node::source("seed"));
  for (std::int64_t block = 0; store.node_count() < target_nodes; ++block) {
    const NodeId src = add(Node::source("shard", {{"index", int_param(block)}}));
    const NodeId scaled = add(Node::op("scale", {src}, {{"factor", float_param(2.0)}}));
    const NodeId plus0 = add(Node::op("add", {scaled}, {{"scalar", float_param(0.0)}, {"side", str_param("r")}}));
    const NodeId clipped = add(Node::op("clip", {plus0}, {{"lo", int_param(0)}}));
    const NodeId mixed = add(Node::op("mul", {clipped, prev}));
    const NodeId times1 = add(Node::op("mul", {mixed}, {{"scalar", float_param(1.0)}, {"side", str_param("l")}}));
    const NodeId negated = add(Node::op("neg", {times1}));
    const NodeId sum1 = add(Node::op("add", {negated, clipped}));
    const NodeId sum2 = add(Node::op("add", {clipped, negated}));
    const NodeId total = add(Node::reduction("sum", {sum1}, {{"axis", int_param(0)}}));
    const NodeId normal = add(Node::op("normalize", {total, sum2}));
    const NodeId scored = add(Node::external(model, {normal}));
    const NodeId relu = add(Node::op("relu", {scored}));
    const NodeId shuffled = add(Node::exchange({relu}, {{"partitions", int_param(4)}}));
    const NodeId top = add(Node::op("maximum", {shuffled, normal}));
    prev = add(Node::join({top, sum2}));
    if (block % 64 == 0) p.outputs.push_back(relu);
  }
  p.outputs.push_back(prev);
  p.nodes = store.nodes();
  return p;
}

void BM_ReducePipeline(benchmark::State& state) {
  const Pipeline p = make_pipeline(static_cast<std::size_t>(state.range(0)));
  const bool maximal = state.range(1) != 0;
  for (auto _ : state) {
    brantel::engine::SaturationEngine engine;
    brantel::reduce::ReductionResult r = brantel::reduce::reduce_graph(p.nodes, p.outputs, engine, maximal);
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * p.nodes.size()));
  state.counters["ns_per_node"] = benchmark::Counter(
      static_cast<double>(p.nodes.size()) * 1e-9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// A single chain of one-input ops: the deepest graph, one huge stage.
void BM_ReduceChain(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  brantel::store::NodeList nodes;
  nodes.append(Node::source("s"));
  for (std::size_t i = 0; i < n; ++i) nodes.append(Node::op("step", {i}, {{"k", int_param(1)}}));
  const std::vector<std::uint64_t> outputs = {n};
  const bool maximal = state.range(1) != 0;
  for (auto _ : state) {
    brantel::engine::SaturationEngine engine;
    brantel::reduce::ReductionResult r = brantel::reduce::reduce_graph(nodes, outputs, engine, maximal);
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * nodes.size()));
  state.counters["ns_per_node"] = benchmark::Counter(
      static_cast<double>(nodes.size()) * 1e-9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_ReducePipeline)
    ->ArgsProduct({{1 << 14, 1 << 17, 1'000'000}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ReduceChain)->ArgsProduct({{1'000'000}, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
