// Runner: drives equality saturation over one e-graph until nothing changes or a
// limit is reached.
//
// Phases of run(): warn on duplicated rule names (stderr), rebuild once, then repeat
// iterations. One iteration: check the limits; run the hooks; search every rule
// through the scheduler (checking the limits after each, so a hit stops the phase);
// apply every rule's matches (checking after each again; nothing is applied when the
// search phase hit a limit); always rebuild. The run saturates when nothing was
// applied, the scheduler agrees to stop and neither the total size nor the class
// count moved. After each iteration's record is appended the limits are checked
// once more, so the iteration count includes it.
//
// Limits, first hit wins: elapsed time above time_limit, e-graph total size above
// node_limit, recorded iterations at least iter_limit.
//
// The time limit is also watched inside search, apply and rebuild, through a
// WorkBudget that reads the clock every few thousand units of work, so one long
// phase cannot carry a run far past it. A phase it cuts short stops where it is:
// a search's matches are dropped, an apply's merges stand, and a rebuild leaves
// its remaining work queued, so the e-graph is then not clean. Every merge is
// sound, so find() still gives a partition the caller can use; only a search
// needs the missing rebuild.
//
// Worked example: with iter_limit 12 and a rule that always adds new e-nodes, the
// twelfth record ends the run with IterationLimit(12), unless the node or time limit
// comes first; an e-graph no rule changes stops after one iteration, Saturated.
//
// Non-goals: no explanations, no class analysis, and the runner never reads the
// iteration records itself; they are diagnostics for callers and tests.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/rewrite.h"
#include "egraph/scheduler.h"
#include "egraph/work_budget.h"

namespace brantel::egraph {

struct StopReason {
  enum class Kind { kSaturated, kIterationLimit, kNodeLimit, kTimeLimit, kOther };
  Kind kind = Kind::kSaturated;
  std::size_t count = 0;  // iterations for kIterationLimit, total size for kNodeLimit
  double seconds = 0;     // elapsed time for kTimeLimit
  std::string message;    // for kOther, from a hook

  static StopReason of(Kind kind) {
    StopReason r;
    r.kind = kind;
    return r;
  }
  std::string to_string() const;
};

struct Iteration {
  // Rule name -> merges made this iteration, in first-applied order; non-zero only.
  std::vector<std::pair<Symbol, std::size_t>> applied;
  std::size_t egraph_nodes = 0;
  std::size_t egraph_classes = 0;
  double hook_time = 0;
  double search_time = 0;
  double apply_time = 0;
  double rebuild_time = 0;
  double total_time = 0;
  std::size_t n_rebuilds = 0;
  std::optional<StopReason> stop_reason;

  // The merges recorded under name, 0 when absent.
  std::size_t applied_count(Symbol name) const;
};

class Runner {
 public:
  // Runs at the start of each iteration that no limit has stopped; a returned text
  // stops the run with StopReason kOther.
  using Hook = std::function<std::optional<std::string>(Runner&)>;

  static constexpr std::size_t kDefaultIterLimit = 30;
  static constexpr std::size_t kDefaultNodeLimit = 10'000;
  static constexpr std::chrono::seconds kDefaultTimeLimit{5};

  Runner();

  Runner& with_iter_limit(std::size_t limit) { return set(iter_limit_, limit); }
  Runner& with_node_limit(std::size_t limit) { return set(node_limit_, limit); }
  Runner& with_time_limit(std::chrono::nanoseconds limit) { return set(time_limit_, limit); }
  Runner& with_egraph(EGraph egraph) { return set(egraph_, std::move(egraph)); }
  Runner& with_hook(Hook hook) {
    hooks_.push_back(std::move(hook));
    return *this;
  }
  Runner& with_scheduler(std::unique_ptr<RewriteScheduler> scheduler);
  // The monotonic clock the time limit is measured on, read at the start, at every
  // limit check and every units_per_read units of work inside a phase;
  // steady_clock by default. The iteration records' timings always use
  // steady_clock.
  Runner& with_clock(WorkBudget::Clock clock, std::uint64_t units_per_read = WorkBudget::kUnitsPerRead);

  // Runs to a stop; the e-graph is clean afterwards unless the time limit cut the
  // last rebuild short.
  Runner& run(const std::vector<Rewrite>& rules);

  const EGraph& egraph() const noexcept { return egraph_; }
  EGraph& egraph() noexcept { return egraph_; }
  const std::vector<Iteration>& iterations() const noexcept { return iterations_; }
  const std::optional<StopReason>& stop_reason() const noexcept { return stop_reason_; }
  RewriteScheduler& scheduler() noexcept { return *scheduler_; }

 private:
  using Clock = std::chrono::steady_clock;

  template <typename T, typename V>
  Runner& set(T& field, V&& value) {
    field = std::forward<V>(value);
    return *this;
  }
  Iteration run_one(const std::vector<Rewrite>& rules);
  std::optional<StopReason> check_limits();
  StopReason time_limit_reason() const;

  EGraph egraph_;
  std::vector<Iteration> iterations_;
  std::optional<StopReason> stop_reason_;
  std::size_t iter_limit_ = kDefaultIterLimit;
  std::size_t node_limit_ = kDefaultNodeLimit;
  std::chrono::nanoseconds time_limit_ = kDefaultTimeLimit;
  std::optional<Clock::time_point> start_time_;
  WorkBudget::Clock clock_;
  std::uint64_t units_per_read_ = WorkBudget::kUnitsPerRead;
  // Counts down to the next clock read; set when the first iteration starts.
  WorkBudget budget_;
  std::vector<Hook> hooks_;
  std::unique_ptr<RewriteScheduler> scheduler_;
};

}  // namespace brantel::egraph
