#include "egraph/runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace brantel::egraph {
namespace {

Rewrite rule(const char* name, const char* lhs, const char* rhs) {
  auto r = Rewrite::parse(name, lhs, rhs);
  if (!r) ADD_FAILURE() << *r.error();
  return std::move(*r);
}

SymbolNode n(const char* op, std::initializer_list<Id> children = {}) {
  return SymbolNode(Symbol::intern(op), std::span<const Id>(children.begin(), children.size()));
}

// count classes u_k(x) over distinct leaves x_k, each matching (u ?x).
EGraph graph_with_unary_matches(int count) {
  EGraph g;
  for (int k = 0; k < count; ++k) {
    std::string leaf = "x";
    leaf += std::to_string(k);
    g.add(n("u", {g.add(n(leaf.c_str()))}));
  }
  return g;
}

TEST(Runner, NothingToDoSaturatesAfterOneIteration) {
  for (const bool empty : {true, false}) {
    Runner runner;
    if (!empty) runner.with_egraph(graph_with_unary_matches(3));
    runner.run({rule("never", "(absent ?x)", "?x")});
    ASSERT_TRUE(runner.stop_reason().has_value());
    EXPECT_EQ(runner.stop_reason()->kind, StopReason::Kind::kSaturated);
    EXPECT_EQ(runner.iterations().size(), 1u);
    EXPECT_TRUE(runner.egraph().clean());
  }
}

TEST(Runner, EndlessGrowthStopsAtTheIterationLimitWithOneRecordEach) {
  EGraph g;
  g.add(n("f", {g.add(n("x"))}));
  Runner runner;
  runner.with_iter_limit(12).with_node_limit(1'000'000).with_egraph(std::move(g));
  runner.run({rule("grow", "(f ?x)", "(f (g ?x))")});
  ASSERT_TRUE(runner.stop_reason().has_value());
  EXPECT_EQ(runner.stop_reason()->kind, StopReason::Kind::kIterationLimit);
  EXPECT_EQ(runner.stop_reason()->count, 12u);
  ASSERT_EQ(runner.iterations().size(), 12u);
  for (const Iteration& it : runner.iterations()) {
    EXPECT_GT(it.applied_count(Symbol::intern("grow")), 0u);
  }
  // The limit is found by the check after the twelfth record, not by the iteration.
  EXPECT_FALSE(runner.iterations().back().stop_reason.has_value());
}

TEST(Runner, NodeLimitAfterRuleKSkipsLaterRulesButStillRebuilds) {
  EGraph g;
  const Id a = g.add(n("a")), b = g.add(n("b")), c = g.add(n("c")), d = g.add(n("d"));
  const Id ab = g.add(n("add", {a, b}));
  const Id cd = g.add(n("mul", {c, d}));
  ASSERT_EQ(g.total_size(), 6u);
  Runner runner;
  runner.with_node_limit(6).with_egraph(std::move(g));
  runner.run({rule("commute-add", "(add ?a ?b)", "(add ?b ?a)"),
              rule("commute-mul", "(mul ?a ?b)", "(mul ?b ?a)")});
  ASSERT_TRUE(runner.stop_reason().has_value());
  EXPECT_EQ(runner.stop_reason()->kind, StopReason::Kind::kNodeLimit);
  EXPECT_EQ(runner.stop_reason()->count, 7u);
  ASSERT_EQ(runner.iterations().size(), 1u);
  const Iteration& it = runner.iterations()[0];
  EXPECT_EQ(it.applied_count(Symbol::intern("commute-add")), 1u);
  EXPECT_EQ(it.applied_count(Symbol::intern("commute-mul")), 0u);
  const EGraph& out = runner.egraph();
  EXPECT_TRUE(out.clean());
  EXPECT_FALSE(out.check_invariants().has_value());
  EXPECT_EQ(out.lookup(n("add", {b, a})), out.find(ab));
  EXPECT_EQ(out.lookup(n("mul", {d, c})), std::nullopt);
  EXPECT_EQ(out.find(cd), cd);
}

TEST(Runner, TimeLimitStopsTheSearchPhaseAndAppliesNothing) {
  Runner runner;
  runner.with_time_limit(std::chrono::milliseconds(1)).with_egraph(graph_with_unary_matches(2));
  runner.with_hook([](Runner&) -> std::optional<std::string> {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return std::nullopt;
  });
  runner.run({rule("drop-u", "(u ?x)", "?x")});
  ASSERT_TRUE(runner.stop_reason().has_value());
  EXPECT_EQ(runner.stop_reason()->kind, StopReason::Kind::kTimeLimit);
  EXPECT_GT(runner.stop_reason()->seconds, 0.001);
  EXPECT_TRUE(runner.iterations()[0].applied.empty());
  EXPECT_EQ(runner.egraph().class_count(), 4u);
}

// A join over `width` branches drop(x_k), each of which the rule merges into x_k:
// the apply makes width merges and the rebuild repairs the join once.
EGraph wide_join_of_drops(Id width, std::vector<std::pair<Id, Id>>& pairs) {
  EGraph g;
  std::vector<Id> branches;
  for (Id k = 0; k < width; ++k) {
    const Id leaf = g.add(n(("x" + std::to_string(k)).c_str()));
    branches.push_back(g.add(n("drop", {leaf})));
    pairs.emplace_back(leaf, branches.back());
  }
  g.add(SymbolNode(Symbol::intern("join"), branches));
  return g;
}

// The time limit is read from an injected clock that reports the deadline passed
// from its k-th read on. For every k the run stops at that very read, inside
// whichever phase made it, and leaves an e-graph whose merges are all sound and
// which a later rebuild completes.
TEST(Runner, TimeLimitStopsInsideSearchApplyAndRebuildOnTheInjectedClock) {
  constexpr Id kWidth = 300;
  constexpr std::uint64_t kUnitsPerRead = 32;
  const auto t0 = WorkBudget::TimePoint{} + std::chrono::hours(1);
  auto run_with_clock = [&](std::size_t late_from, std::size_t& reads, std::vector<std::pair<Id, Id>>& pairs) {
    auto runner = std::make_unique<Runner>();
    runner->with_egraph(wide_join_of_drops(kWidth, pairs))
        .with_scheduler(std::make_unique<BackoffScheduler>(10 * kWidth))
        .with_node_limit(10 * kWidth)
        .with_time_limit(std::chrono::seconds(5))
        .with_clock([&reads, late_from, t0] { return ++reads >= late_from ? t0 + std::chrono::seconds(6) : t0; },
                    kUnitsPerRead);
    runner->run({rule("drop", "(drop ?x)", "?x")});
    return runner;
  };
  std::size_t all_reads = 0;
  std::vector<std::pair<Id, Id>> pairs;
  const auto full = run_with_clock(std::numeric_limits<std::size_t>::max(), all_reads, pairs);
  ASSERT_EQ(full->stop_reason()->kind, StopReason::Kind::kSaturated);
  // The start is read 1; the substitutions, queued copies and children take several countdowns each.
  ASSERT_GE(all_reads, 3 * kWidth / kUnitsPerRead);

  bool cut_in_apply = false;
  bool cut_in_rebuild = false;
  // About 16 cut points spread over the run, a few in each phase.
  const std::size_t step = std::max<std::size_t>(1, all_reads / 16);
  for (std::size_t late_from = 2; late_from <= all_reads; late_from += step) {
    std::size_t reads = 0;
    pairs.clear();
    const auto cut = run_with_clock(late_from, reads, pairs);
    ASSERT_EQ(cut->stop_reason()->kind, StopReason::Kind::kTimeLimit) << late_from;
    EXPECT_EQ(reads, late_from) << "the clock was read again after the limit passed";
    EXPECT_DOUBLE_EQ(cut->stop_reason()->seconds, 6.0);
    EGraph& g = cut->egraph();
    std::size_t merged = 0;
    for (const auto& [leaf, branch] : pairs) merged += g.find(leaf) == g.find(branch);
    std::size_t applied = 0;
    for (const Iteration& it : cut->iterations()) applied += it.applied_count(Symbol::intern("drop"));
    EXPECT_EQ(merged, applied) << late_from;
    cut_in_apply |= applied > 0 && applied < kWidth;
    cut_in_rebuild |= applied == kWidth && !g.clean();
    g.rebuild();
    EXPECT_FALSE(g.check_invariants().has_value()) << late_from;
  }
  EXPECT_TRUE(cut_in_apply);
  EXPECT_TRUE(cut_in_rebuild);
}

TEST(Runner, HookTextStopsTheRun) {
  Runner runner;
  runner.with_egraph(graph_with_unary_matches(2));
  runner.with_hook([](Runner&) -> std::optional<std::string> { return "enough"; });
  runner.run({rule("drop-u", "(u ?x)", "?x")});
  ASSERT_TRUE(runner.stop_reason().has_value());
  EXPECT_EQ(runner.stop_reason()->kind, StopReason::Kind::kOther);
  EXPECT_EQ(runner.stop_reason()->message, "enough");
  EXPECT_EQ(runner.egraph().class_count(), 4u);
}

TEST(Runner, DuplicatedRuleNamesWarnOnStderrAndStillRun) {
  ::testing::internal::CaptureStderr();
  Runner runner;
  runner.with_egraph(graph_with_unary_matches(1));
  runner.run({rule("dup", "(u ?x)", "?x"), rule("dup", "(v ?x)", "?x"), rule("single", "(w ?x)", "?x")});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n"
            "Rule 'dup' appears 2 times\n");
  EXPECT_EQ(runner.stop_reason()->kind, StopReason::Kind::kSaturated);
  EXPECT_EQ(runner.egraph().class_count(), 1u);

  ::testing::internal::CaptureStderr();
  Runner quiet;
  quiet.run({rule("one", "(u ?x)", "?x"), rule("two", "(v ?x)", "?x")});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// A rule with more matches than the threshold is banned and applies nothing; with
// nothing else applied, can_stop fast-forwards the ban and the rule returns in the
// next iteration with a doubled threshold.
TEST(BackoffScheduling, MoreThanThresholdMatchesBanUntilFastForward) {
  const Symbol name = Symbol::intern("drop-u");
  struct Case {
    int matches;
    bool banned_first;
  };
  for (const Case c : {Case{1000, false}, Case{1001, true}}) {
    Runner runner;
    runner.with_egraph(graph_with_unary_matches(c.matches));
    runner.run({rule("drop-u", "(u ?x)", "?x")});
    const auto& its = runner.iterations();
    ASSERT_GE(its.size(), 2u) << c.matches;
    const std::size_t applied_at = c.banned_first ? 1 : 0;
    EXPECT_EQ(its[applied_at].applied_count(name), static_cast<std::size_t>(c.matches)) << c.matches;
    if (c.banned_first) {
      EXPECT_TRUE(its[0].applied.empty());
    }
    EXPECT_EQ(runner.stop_reason()->kind, StopReason::Kind::kSaturated);
    EXPECT_EQ(runner.egraph().class_count(), static_cast<std::size_t>(c.matches));
  }
}

TEST(BackoffScheduling, BanLengthAndThresholdDoubleAndFastForwardUnbans) {
  const Rewrite drop = rule("drop-u", "(u ?x)", "?x");
  EGraph g = graph_with_unary_matches(1500);
  g.rebuild();
  BackoffScheduler scheduler;
  EXPECT_TRUE(scheduler.search_rewrite(0, g, drop).empty());
  const RuleStats* s = scheduler.stats(drop.name());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->banned_until, 5u);
  EXPECT_EQ(s->times_banned, 1u);
  EXPECT_EQ(s->times_applied, 0u);
  EXPECT_EQ(s->match_limit, 1000u);
  EXPECT_EQ(s->ban_length, 5u);
  EXPECT_TRUE(scheduler.search_rewrite(3, g, drop).empty());  // still banned: skipped
  EXPECT_EQ(s->times_banned, 1u);

  EXPECT_FALSE(scheduler.can_stop(0));
  EXPECT_EQ(s->banned_until, 0u);
  const auto matches = scheduler.search_rewrite(1, g, drop);  // threshold 2000 now
  std::size_t total = 0;
  for (const SearchMatches& m : matches) total += m.substs.size();
  EXPECT_EQ(total, 1500u);
  EXPECT_EQ(s->times_applied, 1u);
  EXPECT_TRUE(scheduler.can_stop(1));

  // A second ban lasts twice as long: 3000 matches exceed 2000 at iteration 2.
  EGraph big = graph_with_unary_matches(3000);
  big.rebuild();
  EXPECT_TRUE(scheduler.search_rewrite(2, big, drop).empty());
  EXPECT_EQ(s->banned_until, 12u);
  EXPECT_EQ(s->times_banned, 2u);
}

}  // namespace
}  // namespace brantel::egraph
