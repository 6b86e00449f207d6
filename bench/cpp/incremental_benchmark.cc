// IncrementalReducer stepping cost: a 1,000,000-node build stepped every 1,000
// added nodes (thread CPU time of the steps only, as manual time), against one
// step over the finished store (read the CPU column), both per consumed node;
// plus finalize against reduce_graph on the whole store.
//
// The graph mixes op chains, identity wrappers, commutable pairs given in both
// orders and fresh sources, the same shape as bench/python/bench_incremental.py.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "optimizer/engine/saturation_engine.h"
#include "optimizer/incremental/incremental_reducer.h"
#include "optimizer/reduce/reduce_graph.h"
#include "store/graph/graph_store.h"
#include "support/cpu_time.h"

namespace {

using brantel::incremental::IncrementalReducer;
using brantel::store::GraphStore;
using brantel::store::Node;
using brantel::store::NodeId;
using brantel::store::ParamEntry;
using brantel::store::ParamMap;
using brantel::store::ParamValue;

constexpr std::uint64_t kNodes = 1'000'000;
constexpr std::uint64_t kEvery = 1'000;

ParamValue int_param(std::int64_t v) { return ParamValue(std::in_place_index<0>, v); }
ParamValue float_param(double v) { return ParamValue(std::in_place_index<1>, brantel::store::float_bits_of(v)); }
ParamValue str_param(std::string v) { return ParamValue(std::in_place_index<3>, std::move(v)); }

NodeId intern(GraphStore& g, const Node& n) {
  auto id = g.intern(n);
  if (!id) std::abort();  // the generator only names existing nodes
  return *id;
}

// Adds one node of the mixed shape; `i` counts calls, `last` and `pair` carry state.
class Shape {
 public:
  NodeId add_next(GraphStore& g) {
    ++i_;
    if (i_ == 1) return last_ = intern(g, Node::source("src0", {{"part", int_param(0)}}));
    // Well mixed, so these links reach all of the graph.
    std::uint64_t h = i_ * 0x9E3779B97F4A7C15ULL;
    h ^= h >> 29;
    const NodeId other = h % g.node_count();
    if (i_ % 64 == 0) {
      last_ = intern(g, Node::source("src" + std::to_string(i_), {{"part", int_param(i_ % 7)}}));
      return last_;
    }
    switch (i_ % 8) {
      case 0: last_ = intern(g, Node::op("map", {last_}, {{"k", int_param(i_ % 97)}})); break;
      case 1: last_ = intern(g, Node::op("add", {last_}, {{"scalar", float_param(0.0)}, {"side", str_param("r")}})); break;
      case 2:
        pair_a_ = last_;
        pair_b_ = other;
        last_ = intern(g, Node::op("add", {pair_a_, pair_b_}));
        break;
      case 3: last_ = intern(g, Node::op("add", {pair_b_, pair_a_})); break;
      case 4: last_ = intern(g, Node::op("mul", {last_}, {{"scalar", float_param(1.0)}, {"side", str_param("l")}})); break;
      case 5: last_ = intern(g, Node::op("filter", {last_}, {{"expr", str_param("x > 0")}})); break;
      case 6: last_ = intern(g, Node::op("neg", {last_})); break;
      default: last_ = intern(g, Node::op("maximum", {last_, other})); break;
    }
    return last_;
  }

 private:
  std::uint64_t i_ = 0;
  NodeId last_ = 0, pair_a_ = 0, pair_b_ = 0;
};

// Minor page faults of the process so far: first touches of fresh memory, which
// cost microseconds each under a hypervisor.
double minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_minflt);
}

void BM_StepEvery1000(benchmark::State& state) {
  double faults = 0;
  for (auto _ : state) {
    GraphStore g;
    IncrementalReducer reducer;
    Shape shape;
    double stepping = 0;
    std::uint64_t since = 0;
    auto step = [&] {
      const double f0 = minor_faults();
      const double t0 = brantel::support::thread_cpu_seconds();
      benchmark::DoNotOptimize(reducer.step(g));
      stepping += brantel::support::thread_cpu_seconds() - t0;
      faults += minor_faults() - f0;
    };
    while (g.node_count() < kNodes) {
      shape.add_next(g);
      if (++since == kEvery) {
        step();
        since = 0;
      }
    }
    step();
    state.SetIterationTime(stepping);
  }
  state.counters["faults_per_knode"] = faults * 1000 / (static_cast<double>(state.iterations()) * kNodes);
  state.counters["per_node"] =
      benchmark::Counter(static_cast<double>(kNodes), benchmark::Counter::kIsIterationInvariantRate |
                                                          benchmark::Counter::kInvert);
}
BENCHMARK(BM_StepEvery1000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

const GraphStore& built_store() {
  static GraphStore g;
  static const bool built = [] {
    Shape shape;
    while (g.node_count() < kNodes) shape.add_next(g);
    return true;
  }();
  (void)built;
  return g;
}

void BM_OneStepOverTheStore(benchmark::State& state) {
  const GraphStore& g = built_store();
  double faults = 0;
  for (auto _ : state) {
    const double before = minor_faults();
    IncrementalReducer reducer;
    benchmark::DoNotOptimize(reducer.step(g));
    faults += minor_faults() - before;
  }
  state.counters["faults_per_knode"] = faults * 1000 / (static_cast<double>(state.iterations()) * kNodes);
  state.counters["per_node"] =
      benchmark::Counter(static_cast<double>(kNodes), benchmark::Counter::kIsIterationInvariantRate |
                                                          benchmark::Counter::kInvert);
}
BENCHMARK(BM_OneStepOverTheStore)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_Finalize(benchmark::State& state) {
  const GraphStore& g = built_store();
  const std::vector<NodeId> outputs = {kNodes - 1};
  IncrementalReducer reducer;
  (void)reducer.step(g);
  for (auto _ : state) benchmark::DoNotOptimize(reducer.finalize(g, outputs, false));
}
BENCHMARK(BM_Finalize)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_ReduceWholeStore(benchmark::State& state) {
  const GraphStore& g = built_store();
  const std::vector<std::uint64_t> outputs = {kNodes - 1};
  for (auto _ : state) {
    brantel::engine::SaturationEngine engine;
    benchmark::DoNotOptimize(brantel::reduce::reduce_graph(g.nodes(), outputs, engine, false));
  }
}
BENCHMARK(BM_ReduceWholeStore)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
