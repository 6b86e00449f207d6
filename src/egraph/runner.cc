// Runner: iterations of search, apply and rebuild under the iteration, node and time
// limits. The loop and its stop reasons are described in runner.h.
#include "egraph/runner.h"

#include <algorithm>
#include <iostream>

#include "egraph/diagnostic_log.h"
#include "support/check.h"

namespace brantel::egraph {
namespace {

using Seconds = std::chrono::duration<double>;

// Warns when two rules share a name: the scheduler keys its statistics and the
// iteration records by name, so such rules would be banned and counted together.
void warn_on_duplicate_names(const std::vector<Rewrite>& rules) {
  std::vector<std::pair<Symbol, std::size_t>> counts;
  for (const Rewrite& rule : rules) {
    auto it = std::find_if(counts.begin(), counts.end(),
                           [&](const auto& entry) { return entry.first == rule.name(); });
    if (it == counts.end()) {
      counts.emplace_back(rule.name(), 1);
    } else {
      ++it->second;
    }
  }
  if (std::none_of(counts.begin(), counts.end(), [](const auto& e) { return e.second > 1; })) return;
  std::cerr << "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n";
  for (const auto& [name, count] : counts) {
    if (count > 1) std::cerr << "Rule '" << name.text() << "' appears " << count << " times\n";
  }
  std::cerr.flush();
}

}  // namespace

std::string StopReason::to_string() const {
  switch (kind) {
    case Kind::kSaturated:
      return "Saturated";
    case Kind::kIterationLimit:
      return "IterationLimit(" + std::to_string(count) + ")";
    case Kind::kNodeLimit:
      return "NodeLimit(" + std::to_string(count) + ")";
    case Kind::kTimeLimit:
      return "TimeLimit(" + std::to_string(seconds) + ")";
    case Kind::kOther:
      return "Other(" + message + ")";
  }
  return "Unknown";
}

std::size_t Iteration::applied_count(Symbol name) const {
  for (const auto& [rule, count] : applied) {
    if (rule == name) return count;
  }
  return 0;
}

Runner::Runner()
    : clock_([] { return Clock::now(); }), scheduler_(std::make_unique<BackoffScheduler>()) {}

Runner& Runner::with_scheduler(std::unique_ptr<RewriteScheduler> scheduler) {
  BRANTEL_CHECK(scheduler != nullptr, "a runner has a scheduler");
  scheduler_ = std::move(scheduler);
  return *this;
}
Runner& Runner::with_clock(WorkBudget::Clock clock, std::uint64_t units_per_read) {
  BRANTEL_CHECK(clock != nullptr && units_per_read > 0, "a runner has a clock, read now and then");
  clock_ = std::move(clock);
  units_per_read_ = units_per_read;
  return *this;
}

StopReason Runner::time_limit_reason() const {
  StopReason r = StopReason::of(StopReason::Kind::kTimeLimit);
  r.seconds = Seconds(budget_.exhausted_at() - *start_time_).count();
  return r;
}

std::optional<StopReason> Runner::check_limits() {
  if (start_time_ && budget_.check_now()) return time_limit_reason();
  if (egraph_.total_size() > node_limit_) {
    StopReason r = StopReason::of(StopReason::Kind::kNodeLimit);
    r.count = egraph_.total_size();
    return r;
  }
  if (iterations_.size() >= iter_limit_) {
    StopReason r = StopReason::of(StopReason::Kind::kIterationLimit);
    r.count = iterations_.size();
    return r;
  }
  return std::nullopt;
}

Runner& Runner::run(const std::vector<Rewrite>& rules) {
  warn_on_duplicate_names(rules);
  egraph_.rebuild();
  while (true) {
    Iteration iteration = run_one(rules);
    std::optional<StopReason> reason = iteration.stop_reason;
    iterations_.push_back(std::move(iteration));
    if (!reason) reason = check_limits();
    if (reason) {
      diag::offer([&] { return "Stopping: " + reason->to_string(); });
      stop_reason_ = std::move(reason);
      break;
    }
  }
  BRANTEL_CHECK(!iterations_.empty(), "a run records at least one iteration");
  BRANTEL_CHECK(stop_reason_.has_value(), "a finished run has a stop reason");
  return *this;
}

Iteration Runner::run_one(const std::vector<Rewrite>& rules) {
  BRANTEL_CHECK(!stop_reason_.has_value(), "no iteration runs after the run stopped");
  const auto iteration_start = Clock::now();
  if (!start_time_) {
    start_time_ = clock_();
    // Saturating: a limit of nanoseconds::max() means no limit, not a deadline
    // that wrapped into the past.
    const auto room = Clock::time_point::max() - *start_time_;
    const auto deadline = time_limit_ < room ? *start_time_ + time_limit_ : Clock::time_point::max();
    budget_ = WorkBudget(clock_, deadline, units_per_read_);
  }
  const std::size_t i = iterations_.size();
  diag::offer([&] { return "Iteration " + std::to_string(i); });

  Iteration it;
  std::optional<StopReason> result = check_limits();

  if (!result) {
    const auto hooks_start = Clock::now();
    for (Hook& hook : hooks_) {
      if (std::optional<std::string> stop = hook(*this)) {
        StopReason r = StopReason::of(StopReason::Kind::kOther);
        r.message = std::move(*stop);
        result = std::move(r);
        break;
      }
    }
    it.hook_time = Seconds(Clock::now() - hooks_start).count();
  }

  it.egraph_nodes = egraph_.total_size();
  it.egraph_classes = egraph_.class_count();

  std::vector<std::vector<SearchMatches>> matches;
  const auto search_start = Clock::now();
  if (!result) {
    matches.reserve(rules.size());
    for (const Rewrite& rule : rules) {
      matches.push_back(scheduler_->search_rewrite(i, egraph_, rule, budget_));
      result = check_limits();
      if (result) break;
    }
  }
  it.search_time = Seconds(Clock::now() - search_start).count();
  diag::offer([&] { return "Search time: " + std::to_string(it.search_time); });

  const auto apply_start = Clock::now();
  if (!result) {
    for (std::size_t r = 0; r < rules.size(); ++r) {
      const std::size_t count = scheduler_->apply_rewrite(i, egraph_, rules[r], matches[r], budget_);
      if (count > 0) {
        const Symbol name = rules[r].name();
        auto entry = std::find_if(it.applied.begin(), it.applied.end(),
                                  [&](const auto& e) { return e.first == name; });
        if (entry == it.applied.end()) {
          it.applied.emplace_back(name, count);
        } else {
          entry->second += count;
        }
      }
      result = check_limits();
      if (result) break;
    }
  }
  it.apply_time = Seconds(Clock::now() - apply_start).count();
  diag::offer([&] { return "Apply time: " + std::to_string(it.apply_time); });

  const auto rebuild_start = Clock::now();
  // Always rebuilt, but not past the time limit.
  it.n_rebuilds = egraph_.rebuild(budget_);
  if (!result && budget_.exhausted()) result = time_limit_reason();
  it.rebuild_time = Seconds(Clock::now() - rebuild_start).count();
  diag::offer([&] { return "Rebuild time: " + std::to_string(it.rebuild_time); });

  const bool saturated = it.applied.empty() && scheduler_->can_stop(i) &&
                         egraph_.total_size() == it.egraph_nodes &&
                         egraph_.class_count() == it.egraph_classes;
  if (saturated && !result) result = StopReason::of(StopReason::Kind::kSaturated);

  it.stop_reason = std::move(result);
  it.total_time = Seconds(Clock::now() - iteration_start).count();
  return it;
}

}  // namespace brantel::egraph
