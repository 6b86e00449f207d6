#include "optimizer/engine/saturation_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "egraph/work_budget.h"
#include "testing/rule_labels.h"
#include "support/check.h"

namespace brantel::engine {
namespace {

constexpr const char* kAdd0R = "op|add|scalar=f0000000000000000;side=sr";

EngineTerm t(std::string label, TermChildren children = {}) {
  return EngineTerm{std::move(label), std::move(children), false};
}

CanonicalTerms run(std::vector<EngineTerm> terms, std::vector<std::uint64_t> roots) {
  SaturationEngine engine;
  RunSummary summary;
  CanonicalTerms out = engine.canonicalize_traced(TermGraph{std::move(terms), std::move(roots)}, summary);
  EXPECT_EQ(summary.stop_reason.kind, egraph::StopReason::Kind::kSaturated);
  return out;
}

TEST(SaturationEngine, WorkedExample) {
  const CanonicalTerms out = run({t("src|s"), t(kAdd0R, {0}), t("op|mul", {0, 1}), t("op|mul", {1, 0})}, {2, 3});
  ASSERT_EQ(out.terms.size(), 2u);
  EXPECT_EQ(out.terms[0].label, "src|s");
  EXPECT_TRUE(out.terms[0].children.empty());
  EXPECT_TRUE(out.terms[0].is_opaque);
  EXPECT_EQ(out.terms[1].label, "op|mul");
  EXPECT_EQ(out.terms[1].children, (TermChildren{0, 0}));
  EXPECT_FALSE(out.terms[1].is_opaque);
  EXPECT_EQ(out.roots, (std::vector<std::uint64_t>{1, 1}));
  EXPECT_EQ(out.term_map, (std::vector<std::uint64_t>{0, 0, 1, 1}));
}

// With the time limit passing at every possible clock read in turn, some run has
// merged s + 0.0 into s but not finished the rebuild that merges f(s) with
// f(s + 0.0). Such a result holds f twice over one child and must not be called
// distinct (the reduction's CSE then merges the two); no run merges unequal terms.
TEST(SaturationEngine, ARunCutShortIsSoundAndDistinctOnlyWhenItIs) {
  bool cut_between_merges = false;
  for (int late_from = 2; late_from < 60; ++late_from) {
    SaturationEngine engine;
    engine.set_clock(
        [reads = 0, late_from]() mutable {
          return egraph::WorkBudget::TimePoint{} + std::chrono::hours(++reads < late_from ? 1 : 2);
        },
        1);
    const CanonicalTerms out =
        engine.canonicalize(TermGraph{{t("src|s"), t(kAdd0R, {0}), t("op|f", {0}), t("op|f", {1})}, {2, 3}});
    EXPECT_NE(out.term_map[0], out.term_map[2]) << late_from;
    if (out.term_map[0] == out.term_map[1] && out.term_map[2] != out.term_map[3]) {
      cut_between_merges = true;
      EXPECT_FALSE(out.distinct) << late_from;
    }
  }
  EXPECT_TRUE(cut_between_merges);
}

// Labels no rule names get stand-in operators that later calls reuse: reducing
// graphs of unique labels again and again leaves the process-wide symbol table as it
// was after the first, and the rules still see the labels they name.
TEST(SaturationEngine, UniqueLabelsDoNotGrowTheSymbolTablePerCall) {
  auto graph = [](int call) {
    std::vector<EngineTerm> terms{t("src|s")};
    for (int k = 0; k < 500; ++k) {
      terms.push_back(t("op|f|i=i" + std::to_string(call * 1000 + k), {0}));
    }
    terms.push_back(t("op|add", {1, 2}));
    terms.push_back(t("op|add", {2, 1}));
    terms.push_back(t(kAdd0R, {501}));
    return terms;
  };
  SaturationEngine engine;
  (void)engine.canonicalize(TermGraph{graph(0), {0}});
  const std::size_t after_first = egraph::Symbol::interned_count();
  for (int call = 1; call < 4; ++call) {
    const CanonicalTerms out = engine.canonicalize(TermGraph{graph(call), {503}});
    // 501 distinct terms survive: the swapped add joins the first, the identity its input.
    ASSERT_EQ(out.terms.size(), 502u);
    EXPECT_EQ(out.term_map[502], 501u);
    EXPECT_EQ(out.term_map[503], 501u);
    EXPECT_EQ(out.terms[2].label, "op|f|i=i" + std::to_string(call * 1000 + 1));
  }
  EXPECT_EQ(egraph::Symbol::interned_count(), after_first);
}

TEST(SaturationEngine, EmptyGraphGivesEmptyResult) {
  const CanonicalTerms out = run({}, {});
  EXPECT_TRUE(out.terms.empty());
  EXPECT_TRUE(out.roots.empty());
  EXPECT_TRUE(out.term_map.empty());
}

TEST(SaturationEngine, EqualTermsMergeWithoutAnyRule) {
  const CanonicalTerms out = run({t("src|a"), t("op|neg", {0}), t("op|neg", {0})}, {2, 1, 2});
  EXPECT_EQ(out.terms.size(), 2u);
  EXPECT_EQ(out.term_map, (std::vector<std::uint64_t>{0, 1, 1}));
  EXPECT_EQ(out.roots, (std::vector<std::uint64_t>{1, 1, 1}));  // duplicates stay
}

TEST(SaturationEngine, EveryIdentityLabelMapsToItsChild) {
  for (std::string_view label : reference::kIdentityLabels) {
    const CanonicalTerms out = run({t("src|a"), t("op|exp", {0}), t(std::string(label), {1})}, {2});
    EXPECT_EQ(out.terms.size(), 2u) << label;
    EXPECT_EQ(out.term_map, (std::vector<std::uint64_t>{0, 1, 1})) << label;
    EXPECT_EQ(out.roots, (std::vector<std::uint64_t>{1})) << label;
  }
}

TEST(SaturationEngine, NearIdentityLabelsAreKept) {
  const char* const kept[] = {
      "op|add|scalar=f0000000000000000;side=sr;x=i1",  // a further parameter
      "op|add|scalar=i0;side=sr",                       // an integer scalar
      "op|add|scalar=f8000000000000000;side=sr",        // negative zero
      "op|mul|scalar=f0000000000000000;side=sr",        // multiplying by zero
  };
  for (const char* label : kept) {
    const CanonicalTerms out = run({t("src|a"), t(label, {0})}, {1});
    EXPECT_EQ(out.terms.size(), 2u) << label;
  }
  // Two children under an identity label is not the one-input form.
  EXPECT_EQ(run({t("src|a"), t(kAdd0R, {0, 0})}, {1}).terms.size(), 2u);
}

TEST(SaturationEngine, CommutedPairKeepsTheEarlierTermOnly) {
  for (std::string_view op : reference::kCommutativeOps) {
    const std::string label = "op|" + std::string(op);
    const CanonicalTerms out = run({t("src|a"), t("src|b"), t(label, {0, 1}), t(label, {1, 0})}, {3});
    ASSERT_EQ(out.terms.size(), 3u) << label;
    EXPECT_EQ(out.terms[2].children, (TermChildren{0, 1})) << label;
    EXPECT_EQ(out.roots, (std::vector<std::uint64_t>{2})) << label;
  }
  // Alone, a commutative term is returned as given, never swapped.
  const CanonicalTerms alone = run({t("src|a"), t("src|b"), t("op|add", {1, 0})}, {2});
  EXPECT_EQ(alone.terms[2].children, (TermChildren{1, 0}));
}

TEST(SaturationEngine, OnlyBareTwoInputCommutativeOpsCommute) {
  struct Case {
    const char* label;
    TermChildren first, second;
  };
  const Case kept[] = {
      {"op|add", {0, 1, 2}, {2, 1, 0}},       // three inputs
      {"op|add|axis=i0", {0, 1}, {1, 0}},     // parameters after the name
      {"op|sub", {0, 1}, {1, 0}},             // not commutative
  };
  for (const Case& c : kept) {
    const CanonicalTerms out =
        run({t("src|a"), t("src|b"), t("src|c"), t(c.label, c.first), t(c.label, c.second)}, {3, 4});
    EXPECT_EQ(out.terms.size(), 5u) << c.label;
  }
}

TEST(SaturationEngine, MergesPropagateUpwardByCongruence) {
  // f(x + 0.0) and f(x) become one class once x + 0.0 and x are.
  const CanonicalTerms out =
      run({t("src|x"), t(kAdd0R, {0}), t("op|f", {1}), t("op|f", {0}), t("red|sum", {2}), t("red|sum", {3})},
          {4, 5});
  EXPECT_EQ(out.term_map, (std::vector<std::uint64_t>{0, 0, 1, 1, 2, 2}));
  EXPECT_EQ(out.terms[1].children, (TermChildren{0}));
}

TEST(SaturationEngine, OpacityFollowsTheLabelPrefix) {
  const char* const labels[] = {"src|s", "red|sum", "stage|1", "exch", "join", "op|neg", "op", "o", ""};
  const bool opaque[] = {true, true, true, true, true, false, true, true, true};
  std::vector<EngineTerm> terms;
  for (const char* label : labels) terms.push_back(EngineTerm{label, {}, !opaque[terms.size()]});
  const CanonicalTerms out = run(terms, {});
  ASSERT_EQ(out.terms.size(), std::size(labels));
  for (std::size_t k = 0; k < std::size(labels); ++k) EXPECT_EQ(out.terms[k].is_opaque, opaque[k]) << labels[k];
}

TEST(SaturationEngine, OutOfRangeIndicesAreInternalErrors) {
  SaturationEngine engine;
  EXPECT_THROW(engine.canonicalize(TermGraph{{t("src|a"), t("op|neg", {1})}, {}}), support::InternalError);
  EXPECT_THROW(engine.canonicalize(TermGraph{{t("src|a")}, {1}}), support::InternalError);
}

TEST(SaturationEngine, RuleTableIsTheTwelveRulesInOrder) {
  const SaturationEngine engine;
  const auto& rules = engine.rules();
  ASSERT_EQ(rules.size(), 12u);
  EXPECT_EQ(engine.iter_limit(), 12u);
  EXPECT_EQ(rules[0].name().text(), "commute-add");
  EXPECT_EQ(rules[0].searcher().to_string(), "(op|add ?a ?b)");
  EXPECT_EQ(rules[0].applier().to_string(), "(op|add ?b ?a)");
  EXPECT_EQ(rules[7].name().text(), "commute-minimum");
  EXPECT_EQ(rules[8].name().text(), "identity-0");
  EXPECT_EQ(rules[8].searcher().to_string(), "(op|add|scalar=f0000000000000000;side=sr ?x)");
  EXPECT_EQ(rules[8].applier().to_string(), "?x");
  EXPECT_EQ(rules[11].name().text(), "identity-3");
  EXPECT_EQ(rules[11].searcher().to_string(), "(op|mul|scalar=f3ff0000000000000;side=sl ?x)");
}

}  // namespace
}  // namespace brantel::engine
