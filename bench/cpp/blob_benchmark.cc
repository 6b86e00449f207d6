// IR blob encode and decode over a pipeline-shaped graph of 1,000,000 nodes:
// sources feeding chains of parameterised ops, with exchanges, reductions,
// externals and joins between chains, as a data pipeline builder produces them.
#include <benchmark/benchmark.h>

#include <string>

#include "store/blob/blob.h"

namespace {

using brantel::store::GraphStore;
using brantel::store::Node;
using brantel::store::NodeId;
using brantel::store::ParamValue;

ParamValue I(std::int64_t v) { return ParamValue(std::in_place_index<0>, v); }
ParamValue F(double v) { return ParamValue(std::in_place_index<1>, brantel::store::float_bits_of(v)); }
ParamValue S(std::string v) { return ParamValue(std::in_place_index<3>, std::move(v)); }

std::unique_ptr<GraphStore> pipeline(std::size_t target) {
  auto s = std::make_unique<GraphStore>();
  const auto add = [&](const Node& n) { return *s->intern(n); };
  NodeId previous_chain_end = 0;
  std::int64_t k = 0;
  while (s->node_count() < target) {
    NodeId x = add(Node::source("part", {{"n", I(k)}, {"path", S(std::string("s3://bucket/part-") + std::to_string(k))}}));
    for (int step = 0; step < 24 && s->node_count() < target; ++step) {
      switch (step % 6) {
        case 0: x = add(Node::op("add", {x}, {{"scalar", F(0.5 * static_cast<double>(k))}, {"side", S("r")}})); break;
        case 1: x = add(Node::op("mul", {x}, {{"scalar", F(2.0)}, {"side", S("l")}})); break;
        case 2: x = add(Node::op("filter", {x}, {{"pred", S("x > 0")}})); break;
        case 3: x = add(Node::exchange({x}, {{"n", I(8)}})); break;
        case 4: x = add(Node::reduction("sum", {x}, {{"axis", I(step)}})); break;
        default: x = add(Node::op("neg", {x})); break;
      }
    }
    if (k % 8 == 7 && s->node_count() < target) {
      x = add(Node::external(brantel::store::PayloadDescriptor{"onnx", std::string("sha256:") + std::to_string(k), "torch", "2.1",
                                                               "f32[n]", std::nullopt},
                             {x}));
    }
    if (k > 0 && s->node_count() < target) x = add(Node::join({previous_chain_end, x}, {{"how", S("inner")}}));
    previous_chain_end = x;
    ++k;
  }
  (void)s->mark_output(previous_chain_end);
  return s;
}

const GraphStore& graph() {
  static const std::unique_ptr<GraphStore> g = pipeline(1'000'000);
  return *g;
}

void set_counters(benchmark::State& state, std::size_t bytes, std::size_t nodes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["ns_per_node"] = benchmark::Counter(static_cast<double>(state.iterations() * nodes) / 1e9,
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_EncodeBlob(benchmark::State& state) {
  const brantel::store::Snapshot snap = graph().snapshot();
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto blob = brantel::blob::encode_blob(snap.nodes, snap.outputs);
    bytes = blob->size();
    benchmark::DoNotOptimize(blob->data());
  }
  set_counters(state, bytes, snap.nodes.size());
}
BENCHMARK(BM_EncodeBlob)->Unit(benchmark::kMillisecond);

// What serialize does: snapshot under the lock, then encode the copy.
void BM_SnapshotAndEncodeBlob(benchmark::State& state) {
  std::size_t bytes = 0, nodes = 0;
  for (auto _ : state) {
    const brantel::store::Snapshot snap = graph().snapshot();
    auto blob = brantel::blob::encode_blob(snap.nodes, snap.outputs);
    bytes = blob->size();
    nodes = snap.nodes.size();
    benchmark::DoNotOptimize(blob->data());
  }
  set_counters(state, bytes, nodes);
}
BENCHMARK(BM_SnapshotAndEncodeBlob)->Unit(benchmark::kMillisecond);

void BM_DecodeBlob(benchmark::State& state) {
  const brantel::store::Snapshot snap = graph().snapshot();
  const std::string blob = *brantel::blob::encode_blob(snap.nodes, snap.outputs);
  for (auto _ : state) {
    auto store = brantel::blob::decode_blob(blob);
    if (!store.ok()) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(store);
  }
  set_counters(state, blob.size(), snap.nodes.size());
}
BENCHMARK(BM_DecodeBlob)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
