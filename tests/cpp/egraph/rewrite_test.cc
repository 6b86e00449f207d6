#include "egraph/rewrite.h"

#include <gtest/gtest.h>

namespace brantel::egraph {
namespace {

TEST(Rewrite, ApplierVariableTheSearcherDoesNotBindIsRefused) {
  auto rule = Rewrite::parse("swap3", "(f ?a ?b)", "(f ?b ?c ?a)");
  ASSERT_FALSE(rule.ok());
  EXPECT_EQ(*rule.error(), "Rewrite swap3 refers to unbound var ?c");
}

TEST(Rewrite, ParseErrorsAreReportedAsText) {
  auto rule = Rewrite::parse("broken", "(?f ?a)", "?a");
  ASSERT_FALSE(rule.ok());
  EXPECT_EQ(*rule.error(), "Found variable ?f instead of an operator");
}

TEST(Rewrite, SearchesItsSearcherAndAppliesItsApplier) {
  auto rule = Rewrite::parse("commute-f", "(f ?a ?b)", "(f ?b ?a)");
  ASSERT_TRUE(rule.ok()) << *rule.error();
  EXPECT_EQ(rule->name(), Symbol::intern("commute-f"));
  EGraph g;
  const Id a = g.add(SymbolNode(Symbol::intern("a"), {}));
  const Id b = g.add(SymbolNode(Symbol::intern("b"), {}));
  const Id fab = g.add(SymbolNode(Symbol::intern("f"), {a, b}));
  g.rebuild();
  const auto matches = rule->search(g);
  ASSERT_EQ(matches.size(), 1u);
  EXPECT_EQ(rule->apply(g, matches).size(), 1u);
  g.rebuild();
  EXPECT_EQ(g.lookup(SymbolNode(Symbol::intern("f"), {b, a})), g.find(fab));
  // Copies share the patterns.
  const Rewrite copy = *rule;
  EXPECT_EQ(&copy.searcher(), &rule->searcher());
}

}  // namespace
}  // namespace brantel::egraph
