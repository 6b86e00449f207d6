// WorkBudget: lets a long phase of the runner notice its time limit without
// reading the clock per e-node.
//
// A phase spends units of work as it goes (a candidate class searched, a
// substitution applied, a queued node popped, a child re-canonicalised). Each time
// units_per_read units have been spent, the budget reads its clock; once the clock
// is past the deadline the budget is exhausted for good and every spend() returns
// true, so the phase returns early with what it has done so far.
//
// Why a countdown: one read of the clock costs about as much as a few dozen units,
// while a unit costs at most a few cache misses. 4096 units between reads keep the
// overshoot to a few milliseconds on any graph and the reads below 1 % of the work.
//
// Example: with units_per_read 3, spend(1) twice returns false without reading;
// the third unit reads the clock and, if it is past the deadline, returns true, as
// does every spend() after it.
//
// Non-goals: not thread-safe (each runner owns one); no estimate of remaining time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <utility>

namespace brantel::egraph {

class WorkBudget {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Clock = std::function<TimePoint()>;
  static constexpr std::uint64_t kUnitsPerRead = 4096;

  // Never runs out; it still counts what is spent.
  WorkBudget() = default;
  // Runs out at the first read of clock that returns a time after deadline.
  WorkBudget(Clock clock, TimePoint deadline, std::uint64_t units_per_read = kUnitsPerRead)
      : clock_(std::move(clock)), deadline_(deadline), units_per_read_(units_per_read), left_(units_per_read) {}

  // Counts units of work; true once the budget is exhausted.
  bool spend(std::uint64_t units) {
    spent_ += units;
    if (units < left_) {
      left_ -= units;
      return false;
    }
    return read_clock();
  }

  // Reads the clock now (unless already exhausted); true once exhausted.
  bool check_now() { return read_clock(); }
  bool exhausted() const noexcept { return exhausted_; }
  // The clock reading that found the deadline passed; meaningful once exhausted.
  TimePoint exhausted_at() const noexcept { return exhausted_at_; }
  // Every unit spent so far, including those after exhaustion.
  std::uint64_t spent() const noexcept { return spent_; }

 private:
  static constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

  bool read_clock() {
    if (exhausted_) return true;
    if (!clock_) {
      left_ = kNever;
      return false;
    }
    const TimePoint now = clock_();
    if (now > deadline_) {
      exhausted_ = true;
      exhausted_at_ = now;
      left_ = 0;
      return true;
    }
    left_ = units_per_read_;
    return false;
  }

  Clock clock_;
  TimePoint deadline_{};
  TimePoint exhausted_at_{};
  std::uint64_t units_per_read_ = kNever;
  std::uint64_t left_ = kNever;
  std::uint64_t spent_ = 0;
  bool exhausted_ = false;
};

}  // namespace brantel::egraph
