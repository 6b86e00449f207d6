// Rewrite: a named rule "searcher = applier" over shared, immutable patterns.
//
// Construction refuses a rule whose applier uses a variable the searcher does not
// bind ("Rewrite {} refers to unbound var {}"), so applying a match can never miss a
// binding. Searching a rule searches its searcher; applying a rule applies its
// applier to those matches (see pattern.h).
//
// Example: commute-add, (op|add ?a ?b) => (op|add ?b ?a). On add(x, y) its first
// application adds add(y, x) into the same class and counts 1; the second counts 0.
//
// Non-goals: no conditions, no custom appliers beyond a pattern.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/pattern.h"
#include "egraph/symbol.h"
#include "support/result.h"

namespace brantel::egraph {

class Rewrite {
 public:
  [[nodiscard]] static support::Result<Rewrite, std::string> create(std::string_view name,
                                                                    Pattern searcher,
                                                                    Pattern applier);
  // Parses both patterns first; a parse error is reported with describe().
  [[nodiscard]] static support::Result<Rewrite, std::string> parse(std::string_view name,
                                                                   std::string_view searcher,
                                                                   std::string_view applier);

  Symbol name() const noexcept { return name_; }
  const Pattern& searcher() const noexcept { return *searcher_; }
  const Pattern& applier() const noexcept { return *applier_; }

  std::vector<SearchMatches> search(const EGraph& egraph) const { return searcher_->search(egraph); }
  // Notes on each substitution whether the applier's instantiation is already in
  // the matched class, which lets apply() skip the substitutions that cannot change
  // anything (on a saturated graph, all of them).
  std::vector<SearchMatches> search_with_limit(const EGraph& egraph, std::size_t limit,
                                               WorkBudget* budget = nullptr) const {
    return searcher_->search_with_limit(egraph, limit, applier_.get(), budget);
  }
  std::vector<Id> apply(EGraph& egraph, const std::vector<SearchMatches>& matches,
                        WorkBudget* budget = nullptr) const {
    return applier_->apply_matches(egraph, matches, budget);
  }

 private:
  Rewrite(Symbol name, std::shared_ptr<const Pattern> searcher, std::shared_ptr<const Pattern> applier)
      : name_(name), searcher_(std::move(searcher)), applier_(std::move(applier)) {}

  Symbol name_;
  std::shared_ptr<const Pattern> searcher_;
  std::shared_ptr<const Pattern> applier_;
};

}  // namespace brantel::egraph
