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

// A rule's search notes the substitutions whose instantiation the matched class
// already holds, and apply skips them. Skipping must end exactly where applying
// every substitution would, also when a binding lost a union between the search
// and the apply (an earlier rule's merge), which voids the note.
TEST(Rewrite, NotedInstantiationsAreSkippedOnlyWhileTheirBindingsAreRoots) {
  auto rule = Rewrite::parse("commute-f", "(f ?a ?b)", "(f ?b ?a)");
  ASSERT_TRUE(rule.ok()) << *rule.error();
  EGraph g;
  auto leaf = [&](const char* name) { return g.add(SymbolNode(Symbol::intern(name), {})); };
  const Id x = leaf("x");
  const Id y = leaf("y");
  const Id z = leaf("z");
  const Symbol f = Symbol::intern("f");
  const Id xy = g.add(SymbolNode(f, {x, y}));
  const Id yx = g.add(SymbolNode(f, {y, x}));
  g.add(SymbolNode(f, {x, z}));
  // More parents than x, so that z's root survives the merge below and f(y, x)
  // canonicalises to a node the memo has not seen.
  for (const char* wrapper : {"g", "h", "k", "m"}) g.add(SymbolNode(Symbol::intern(wrapper), {z}));
  g.union_classes(xy, yx);
  g.rebuild();

  const auto noted = rule->search_with_limit(g, 100);
  std::size_t present = 0;
  std::size_t substs = 0;
  for (const SearchMatches& m : noted) {
    for (const Subst& s : m.substs) {
      ++substs;
      present += s.instantiation_present ? 1 : 0;
    }
  }
  EXPECT_EQ(substs, 3u);
  EXPECT_EQ(present, 2u);  // both orientations of the merged pair; f(x, z) has no twin yet

  for (const bool merge_first : {false, true}) {
    EGraph with_notes = g;
    EGraph plain = g;
    if (merge_first) {
      with_notes.union_classes(x, z);
      plain.union_classes(x, z);
      ASSERT_EQ(plain.find(x), z);
    }
    const std::size_t changed = rule->apply(with_notes, noted).size();
    EXPECT_EQ(changed, rule->applier().apply_matches(plain, rule->searcher().search(g)).size()) << merge_first;
    with_notes.rebuild();
    plain.rebuild();
    EXPECT_EQ(with_notes.total_size(), plain.total_size()) << merge_first;
    EXPECT_EQ(with_notes.class_count(), plain.class_count()) << merge_first;
    for (Id a = 0; a < with_notes.id_count(); ++a) {
      for (Id b = 0; b < a; ++b) {
        EXPECT_EQ(with_notes.find(a) == with_notes.find(b), plain.find(a) == plain.find(b)) << a << " " << b;
      }
    }
  }
}

}  // namespace
}  // namespace brantel::egraph
