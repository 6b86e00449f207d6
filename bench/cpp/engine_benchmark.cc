// Benchmark of SaturationEngine::canonicalize on pipeline-shaped term graphs.
//
// Graph shape (per term, drawn with a fixed seed): 3% sources with their own names;
// 30% commutative binary ops, a third of which repeat an earlier one with its
// operands swapped; 5% identity ops (x + 0.0, x * 1.0, either side); 35% unary chain
// ops on the previous term; 15% non-commutative binary ops; 2% exact repeats of an
// earlier term; the rest reductions, exchanges and joins. Operands are mostly recent
// terms (chains), sometimes any term of the last 4096 or of the whole graph
// (fan-out). Roots: the last 64 terms plus 1% of all terms.
//
// Reported per size: CPU time per term in the steady state, the CPU time and the
// growth of the resident set of the first call at that size, per term (the kernel's
// high-water mark is reset before it), and how the runner stopped, including whether the node limit cut the run
// short (node_limit_hit should stay 0), and the longest stretch of a run between
// two reads of its clock (max_clock_gap_ms), which bounds how far the 5-second
// limit can be overshot. Last, the machine's random-load latency at
// the working sets of the smallest and the largest size, for reading the ratio.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "egraph/work_budget.h"
#include "optimizer/engine/rule_set.h"
#include "optimizer/engine/saturation_engine.h"
#include "support/cpu_time.h"

namespace {

using brantel::engine::EngineTerm;

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM"), or 0 where unavailable.
std::size_t status_bytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string key;
  std::size_t kib = 0;
  while (status >> key) {
    if (key == field + ":") {
      status >> kib;
      return kib * 1024;
    }
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

// Minor page faults and kernel CPU seconds of the process so far.
struct KernelUse {
  double faults = 0;
  double system_seconds = 0;
};
KernelUse kernel_use() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return {static_cast<double>(usage.ru_minflt),
          static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) * 1e-6};
}

// Resets VmHWM to the current resident set (Linux 4.0 and later).
void reset_peak_rss() { std::ofstream("/proc/self/clear_refs") << "5"; }
using brantel::engine::TermGraph;

TermGraph make_pipeline_graph(std::size_t n, std::uint64_t seed) {
  static const char* const kUnary[] = {"op|neg", "op|exp", "op|abs", "op|cast|to=sf32",
                                       "op|mul|scalar=f4000000000000000;side=sr",
                                       "op|add|scalar=f3ff0000000000000;side=sl"};
  static const char* const kBinary[] = {"op|sub", "op|div", "op|lt", "op|pow"};
  std::mt19937_64 rng(seed);
  auto roll = [&]() { return static_cast<unsigned>(rng() % 1000); };
  TermGraph g;
  g.terms.reserve(n);
  std::vector<std::size_t> commutative;
  std::size_t sources = 0;

  auto pick = [&](std::size_t i) -> std::uint64_t {
    const unsigned r = roll();
    if (r < 700) return i - 1 - rng() % std::min<std::size_t>(i, 8);
    if (r < 900) return i - 1 - rng() % std::min<std::size_t>(i, 4096);
    return rng() % i;
  };

  for (std::size_t i = 0; i < n; ++i) {
    const unsigned r = roll();
    EngineTerm t;
    if (i < 2 || r < 30) {
      t.label = "src|table|name=s" + std::to_string(sources++);
      t.is_opaque = true;
    } else if (r < 330) {
      if (!commutative.empty() && roll() < 333) {
        const EngineTerm& earlier = g.terms[commutative[rng() % commutative.size()]];
        t.label = earlier.label;
        t.children = {earlier.children[1], earlier.children[0]};
      } else {
        t.label = "op|" + std::string(brantel::engine::kCommutativeOps[rng() % 8]);
        t.children = {pick(i), pick(i)};
      }
      commutative.push_back(i);
    } else if (r < 380) {
      t.label = std::string(brantel::engine::kIdentityLabels[rng() % 4]);
      t.children = {pick(i)};
    } else if (r < 730) {
      t.label = kUnary[rng() % std::size(kUnary)];
      t.children = {i - 1};
    } else if (r < 880) {
      t.label = kBinary[rng() % std::size(kBinary)];
      t.children = {pick(i), pick(i)};
    } else if (r < 900) {
      t = g.terms[rng() % i];
    } else {
      const unsigned kind = roll() % 3;
      t.label = kind == 0 ? "red|sum|axis=i0" : kind == 1 ? "exch" : "join";
      t.is_opaque = true;
      t.children = {pick(i)};
      if (kind == 2) t.children.push_back(pick(i));
    }
    g.terms.push_back(std::move(t));
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (i + 64 >= n || roll() < 10) g.roots.push_back(i);
  }
  return g;
}

struct FirstCall {
  double seconds = 0;
  double system_seconds = 0;
  std::size_t peak_rss_bytes = 0;
};
FirstCall measure_first_call(brantel::engine::SaturationEngine& engine, const TermGraph& graph) {
  reset_peak_rss();
  const std::size_t base = status_bytes("VmRSS");
  const KernelUse before = kernel_use();
  const double start = brantel::support::thread_cpu_seconds();
  const brantel::engine::CanonicalTerms out = engine.canonicalize(graph);
  benchmark::DoNotOptimize(out.terms.data());
  FirstCall figures;
  figures.seconds = brantel::support::thread_cpu_seconds() - start;
  figures.system_seconds = kernel_use().system_seconds - before.system_seconds;
  const std::size_t high = status_bytes("VmHWM");
  figures.peak_rss_bytes = high > base ? high - base : 0;
  return figures;
}

void BM_Canonicalize(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto terms = static_cast<double>(n);
  const TermGraph graph = make_pipeline_graph(n, 0x9e3779b97f4a7c15ULL);
  brantel::engine::SaturationEngine engine;
  brantel::engine::RunSummary summary;

  // The first call at a size grows the process: the kernel hands it fresh pages,
  // which it must zero, and which the allocator keeps for later calls. That call is
  // measured apart, once per size (the framework enters this function more than
  // once), so that the timed calls below show the steady state of a process that
  // reduces again and again.
  static std::map<std::size_t, FirstCall> first_calls;
  auto [first, is_new] = first_calls.try_emplace(n);
  if (is_new) first->second = measure_first_call(engine, graph);
  state.counters["first_call_us"] = first->second.seconds * 1e6 / terms;
  state.counters["first_call_sys_us"] = first->second.system_seconds * 1e6 / terms;
  state.counters["peak_rss_bytes_per_term"] = static_cast<double>(first->second.peak_rss_bytes) / terms;

  // The longest stretch of a timed call's run without a look at the clock, in
  // thread CPU time (a wall-clock gap would mostly show when the machine ran
  // something else): the work by which the run's time limit can be overshot.
  double max_clock_gap = 0;
  double last_read = -1;
  engine.set_clock(
      [&] {
        const double cpu = brantel::support::thread_cpu_seconds();
        if (last_read >= 0) max_clock_gap = std::max(max_clock_gap, cpu - last_read);
        last_read = cpu;
        return std::chrono::steady_clock::now();
      },
      brantel::egraph::WorkBudget::kUnitsPerRead);

  std::size_t outputs = 0;
  // Phase seconds summed over the timed calls, reported per term.
  double phase[6] = {};
  double faults = 0;
  double system_seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const KernelUse before = kernel_use();
    last_read = -1;
    state.ResumeTiming();
    brantel::engine::CanonicalTerms out = engine.canonicalize_traced(graph, summary);
    benchmark::DoNotOptimize(out.terms.data());
    outputs = out.terms.size();
    state.PauseTiming();
    const KernelUse after = kernel_use();
    faults += after.faults - before.faults;
    system_seconds += after.system_seconds - before.system_seconds;
    phase[0] += summary.load_seconds;
    phase[1] += summary.run_seconds;
    phase[2] += summary.read_seconds;
    phase[3] += summary.search_seconds;
    phase[4] += summary.apply_seconds;
    phase[5] += summary.rebuild_seconds;
    // The result is freed here, outside the timed region, as a caller would after use.
    out = {};
    state.ResumeTiming();
  }
  const double calls = static_cast<double>(state.iterations());
  static const char* const kPhaseNames[] = {"load_us", "run_us", "read_us", "search_us", "apply_us", "rebuild_us"};
  state.counters["faults_per_kterm"] = faults / calls / terms * 1000;
  state.counters["sys_us"] = system_seconds * 1e6 / calls / terms;
  for (int k = 0; k < 6; ++k) state.counters[kPhaseNames[k]] = phase[k] * 1e6 / calls / terms;
  state.counters["time_per_term"] =
      benchmark::Counter(terms, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["output_terms"] = static_cast<double>(outputs);
  state.counters["iterations"] = static_cast<double>(summary.iterations);
  state.counters["saturated"] = summary.stop_reason.kind == brantel::egraph::StopReason::Kind::kSaturated;
  state.counters["node_limit_hit"] = summary.stop_reason.kind == brantel::egraph::StopReason::Kind::kNodeLimit;
  state.counters["time_limit_hit"] = summary.stop_reason.kind == brantel::egraph::StopReason::Kind::kTimeLimit;
  state.counters["max_clock_gap_ms"] = max_clock_gap * 1e3;
  state.counters["egraph_nodes_over_limit"] =
      static_cast<double>(summary.total_size) / static_cast<double>(summary.node_limit);
}

BENCHMARK(BM_Canonicalize)->Arg(10'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

// The machine's own figure for the ratio above: one dependent load at a random
// place in a block as large as a call's working set (about 250 bytes per term,
// the peak resident growth reported above), by chasing a random cycle through
// it. At 10,000 terms the block about fits a core's own cache and at 1,000,000
// it is far from fitting any, so time_per_load(1M) / time_per_load(10k) bounds how closely a call
// dominated by such loads can scale on this machine.
void BM_RandomLoadLatency(benchmark::State& state) {
  constexpr std::size_t kBytesPerTerm = 250;
  const auto terms = static_cast<std::size_t>(state.range(0));
  const std::size_t slots = terms * kBytesPerTerm / 64;  // one load per cache line
  // Each line holds the index of the next line to visit; Sattolo's shuffle makes
  // the visits one cycle through every line.
  struct alignas(64) Line {
    std::size_t next;
  };
  std::vector<Line> lines(slots);
  for (std::size_t i = 0; i < slots; ++i) lines[i].next = i;
  std::mt19937_64 rng(7);
  for (std::size_t i = slots - 1; i > 0; --i) std::swap(lines[i].next, lines[rng() % i].next);
  std::size_t at = 0;
  constexpr std::size_t kLoads = 1 << 20;
  for (auto _ : state) {
    for (std::size_t k = 0; k < kLoads; ++k) at = lines[at].next;
    benchmark::DoNotOptimize(at);
  }
  state.counters["time_per_load"] = benchmark::Counter(
      static_cast<double>(kLoads), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_RandomLoadLatency)->Arg(10'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
