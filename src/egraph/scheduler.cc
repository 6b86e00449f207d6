#include "egraph/scheduler.h"

#include <algorithm>
#include <limits>

#include "egraph/diagnostic_log.h"
#include "support/check.h"

namespace brantel::egraph {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// value << shift, saturating instead of dropping high bits: a threshold or ban that
// wrapped around would silently become small. A shift of 64 or more is refused
// outright; twelve iterations reach at most 12.
std::uint64_t shifted(std::uint64_t value, std::uint64_t shift) {
  if (shift >= 64) support::panic("match threshold shift of " + std::to_string(shift) + " bits overflows");
  if (value != 0 && value > (kMax >> shift)) return kMax;
  return value << shift;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > kMax - b ? kMax : a + b; }

}  // namespace

std::size_t RewriteScheduler::apply_rewrite(std::size_t /*iteration*/, EGraph& egraph,
                                            const Rewrite& rule,
                                            const std::vector<SearchMatches>& matches, WorkBudget& budget) {
  return rule.apply(egraph, matches, &budget).size();
}

RuleStats& BackoffScheduler::stats_for(Symbol rule_name) {
  for (auto& [name, s] : stats_) {
    if (name == rule_name) return s;
  }
  RuleStats fresh;
  fresh.match_limit = default_match_limit_;
  fresh.ban_length = default_ban_length_;
  return stats_.emplace_back(rule_name, fresh).second;
}

const RuleStats* BackoffScheduler::stats(Symbol rule_name) const {
  for (const auto& [name, s] : stats_) {
    if (name == rule_name) return &s;
  }
  return nullptr;
}

std::vector<SearchMatches> BackoffScheduler::search_rewrite(std::size_t iteration, const EGraph& egraph,
                                                            const Rewrite& rule, WorkBudget& budget) {
  RuleStats& s = stats_for(rule.name());
  const auto i = static_cast<std::uint64_t>(iteration);
  if (i < s.banned_until) {
    diag::offer([&] {
      return "Skipping " + std::string(rule.name().text()) + " (" + std::to_string(s.times_applied) +
             "-" + std::to_string(s.times_banned) + "), banned until " + std::to_string(s.banned_until) +
             "...";
    });
    return {};
  }
  const std::uint64_t threshold = shifted(s.match_limit, s.times_banned);
  const std::uint64_t limit = saturating_add(threshold, 1);
  const auto search_limit =
      static_cast<std::size_t>(std::min<std::uint64_t>(limit, std::numeric_limits<std::size_t>::max()));
  std::vector<SearchMatches> matches;
  std::uint64_t total = 0;
  if (limit > threshold && rule.searcher().matches_at_least(egraph, search_limit)) {
    // The search would stop at the limit and its matches go unused by the ban
    // below. Banned rules of a large graph are searched again and again until the
    // threshold has doubled past their match count, so this skips most searches.
    total = search_limit;
  } else {
    matches = rule.search_with_limit(egraph, search_limit, &budget);
    // A partial count would ban or credit the rule on a fraction of the graph.
    if (budget.exhausted()) return {};
    for (const SearchMatches& m : matches) total += m.substs.size();
  }

  if (total > threshold) {
    const std::uint64_t ban = shifted(s.ban_length, s.times_banned);
    s.times_banned += 1;
    s.banned_until = saturating_add(i, ban);
    diag::offer([&] {
      return "Banning " + std::string(rule.name().text()) + " (" + std::to_string(s.times_applied) + "-" +
             std::to_string(s.times_banned) + ") for " + std::to_string(ban) + " iters: " +
             std::to_string(threshold) + " < " + std::to_string(total);
    });
    return {};
  }
  s.times_applied += 1;
  return matches;
}

bool BackoffScheduler::can_stop(std::size_t iteration) {
  const auto i = static_cast<std::uint64_t>(iteration);
  std::uint64_t min_ban = kMax;
  std::size_t banned = 0;
  for (const auto& [name, s] : stats_) {
    if (s.banned_until > i) {
      ++banned;
      min_ban = std::min(min_ban, s.banned_until);
    }
  }
  if (banned == 0) return true;

  BRANTEL_CHECK(min_ban >= i, "the earliest ban does not end in the past");
  const std::uint64_t delta = min_ban - i;
  std::size_t unbanned = 0;
  for (auto& [name, s] : stats_) {
    if (s.banned_until <= i) continue;
    s.banned_until -= delta;
    if (s.banned_until == i) ++unbanned;
  }
  BRANTEL_CHECK(unbanned > 0, "fast-forwarding unbans at least one rule");
  diag::offer([&] {
    return "Banned " + std::to_string(banned) + "/" + std::to_string(stats_.size()) +
           ", fast-forwarded by " + std::to_string(delta) + " to unban " + std::to_string(unbanned);
  });
  return false;
}

}  // namespace brantel::egraph
