// Rule schedulers: how many matches of each rule an iteration of the runner uses.
//
// RewriteScheduler is what the runner calls; BackoffScheduler is the one the engine
// uses. It bans a rule that matches too often, so one explosive rule cannot swamp an
// iteration:
//   search   a rule banned until a later iteration is skipped. Otherwise it is
//            searched with a limit of threshold + 1, threshold = match_limit <<
//            times_banned. Finding more than threshold bans it for ban_length <<
//            times_banned iterations and uses none of the matches.
//   can_stop with nothing applied in an iteration, the run may only stop once no rule
//            is banned; otherwise every ban is shortened by the same amount so that
//            the earliest one ends now ("fast-forward"), and the run goes on.
//
// Worked example (defaults 1000 and 5): a rule with 1500 matches in iteration 0 is
// banned until iteration 5. If nothing else applied, can_stop(0) moves that to 0 and
// returns false; in iteration 1 the rule is searched with threshold 2000 and its 1500
// matches are used. Thresholds go 1000, 2000, 4000, ... and bans 5, 10, 20, ...
//
// Non-goals: no per-rule configuration beyond the two defaults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/rewrite.h"
#include "egraph/subst.h"

namespace brantel::egraph {

class RewriteScheduler {
 public:
  virtual ~RewriteScheduler() = default;
  // Both spend from budget (see WorkBudget) and stop early once it runs out; a
  // search cut short that way returns nothing.
  virtual std::vector<SearchMatches> search_rewrite(std::size_t iteration, const EGraph& egraph,
                                                    const Rewrite& rule, WorkBudget& budget) = 0;
  std::vector<SearchMatches> search_rewrite(std::size_t iteration, const EGraph& egraph, const Rewrite& rule) {
    WorkBudget unlimited;
    return search_rewrite(iteration, egraph, rule, unlimited);
  }
  // The number of merges that changed the e-graph.
  virtual std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rule,
                                    const std::vector<SearchMatches>& matches, WorkBudget& budget);
  virtual bool can_stop(std::size_t iteration) = 0;
};

struct RuleStats {
  std::uint64_t times_applied = 0;
  std::uint64_t banned_until = 0;
  std::uint64_t times_banned = 0;
  std::uint64_t match_limit = 0;
  std::uint64_t ban_length = 0;
};

class BackoffScheduler final : public RewriteScheduler {
 public:
  static constexpr std::uint64_t kDefaultMatchLimit = 1000;
  static constexpr std::uint64_t kDefaultBanLength = 5;

  explicit BackoffScheduler(std::uint64_t match_limit = kDefaultMatchLimit,
                            std::uint64_t ban_length = kDefaultBanLength)
      : default_match_limit_(match_limit), default_ban_length_(ban_length) {}

  using RewriteScheduler::search_rewrite;
  std::vector<SearchMatches> search_rewrite(std::size_t iteration, const EGraph& egraph,
                                            const Rewrite& rule, WorkBudget& budget) override;
  bool can_stop(std::size_t iteration) override;

  // The statistics of a rule, or nullptr before its first search.
  const RuleStats* stats(Symbol rule_name) const;
  // All statistics, in the order rules were first searched.
  const std::vector<std::pair<Symbol, RuleStats>>& all_stats() const noexcept { return stats_; }

 private:
  RuleStats& stats_for(Symbol rule_name);

  std::uint64_t default_match_limit_;
  std::uint64_t default_ban_length_;
  // A handful of rules: a linear scan finds a rule's entry.
  std::vector<std::pair<Symbol, RuleStats>> stats_;
};

}  // namespace brantel::egraph
