// SaturationEngine: canonicalises a term graph by equality saturation under the
// twelve commutativity and identity rules.
//
// Phases of canonicalize():
//   load     each term becomes an e-node (label interned as its operator, children
//            mapped through the classes of earlier terms); equal label and equal
//            canonical children land in one class already here, by hash-consing.
//   saturate a runner with the backoff scheduler runs the rules for at most 12
//            iterations, 4n + 1024 e-nodes and 5 seconds. Every merge is sound, so a
//            run cut short by a limit has found a subset of the equalities and is
//            used as it is.
//   read     the earliest input term of each class represents it, with its own label
//            and its children renumbered through their classes; roots and term_map
//            are mapped the same way.
//
// Worked example: for [s, add0(s), mul(s, add0(s)), mul(add0(s), s)], identity-0
// merges add0(s) into s; congruence then makes both muls mul(s, s), so they merge.
// Output: [s, mul(0, 0)] with term_map [0, 0, 1, 1].
//
// Labels that no rule mentions are given stand-in operators from a process-wide pool
// reused by every call, so the symbol table does not grow with each graph reduced.
//
// Non-goals: no state between calls besides the rules, no cost-based extraction, and
// the stop reason does not change the result's shape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "egraph/rewrite.h"
#include "egraph/runner.h"
#include "egraph/work_budget.h"
#include "optimizer/engine/rewrite_engine.h"

namespace brantel::engine {

// How the runner of one canonicalize() call ended; for tests and benchmarks.
struct RunSummary {
  egraph::StopReason stop_reason;
  std::size_t iterations = 0;
  std::size_t total_size = 0;
  std::size_t class_count = 0;
  std::size_t node_limit = 0;
  // CPU seconds of the three phases, and the runner's own wall-clock split of the
  // middle one, summed over its iterations.
  double load_seconds = 0;
  double run_seconds = 0;
  double read_seconds = 0;
  double search_seconds = 0;
  double apply_seconds = 0;
  double rebuild_seconds = 0;
};

class SaturationEngine final : public RewriteEngine {
 public:
  static constexpr std::size_t kIterLimit = 12;

  SaturationEngine();

  CanonicalTerms canonicalize(const TermGraph& graph) override;
  // canonicalize(), also reporting how the run stopped.
  CanonicalTerms canonicalize_traced(const TermGraph& graph, RunSummary& summary);

  const std::vector<egraph::Rewrite>& rules() const noexcept { return rules_; }
  std::size_t iter_limit() const noexcept { return iter_limit_; }
  // 4n + 1024 for n input terms.
  static std::size_t node_limit_for(std::size_t term_count) noexcept { return 4 * term_count + 1024; }
  // Measures the time limit on clock, read every units_per_read units of work,
  // instead of steady_clock; for tests that cut runs short at chosen points.
  void set_clock(egraph::WorkBudget::Clock clock, std::uint64_t units_per_read) {
    clock_ = std::move(clock);
    units_per_read_ = units_per_read;
  }

 private:
  std::vector<egraph::Rewrite> rules_;
  // Texts of the operators the rules mention; every other label gets a stand-in.
  std::vector<std::string_view> rule_ops_;
  std::vector<egraph::Symbol> rule_symbols_;
  std::size_t iter_limit_ = kIterLimit;
  egraph::WorkBudget::Clock clock_;
  std::uint64_t units_per_read_ = egraph::WorkBudget::kUnitsPerRead;
};

}  // namespace brantel::engine
