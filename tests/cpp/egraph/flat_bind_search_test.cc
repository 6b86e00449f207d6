// The direct search loop for single-Bind patterns against the general matching
// machine: on random e-graphs, under every limit, both must report the same classes
// in the same order with the same substitutions in the same order.
#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/pattern.h"
#include "support/check.h"

namespace brantel::egraph {
namespace {

Pattern parse(const char* text) {
  auto p = Pattern::parse(text);
  if (!p) ADD_FAILURE() << text << ": " << describe(*p.error());
  return std::move(*p);
}

std::string dump(const std::vector<SearchMatches>& matches) {
  std::string out;
  for (const SearchMatches& m : matches) {
    out += std::to_string(m.eclass) + ":";
    for (const Subst& s : m.substs) {
      out += " {";
      for (const auto& [var, id] : s) out += std::string(var.text()) + "=" + std::to_string(id) + " ";
      out += "}";
    }
    out += "\n";
  }
  return out;
}

TEST(FlatBindSearch, RecognisesExactlyTheSingleBindPrograms) {
  struct Case {
    const char* text;
    bool flat;
  };
  const Case cases[] = {
      {"(op|add ?a ?b)", true},
      {"(op|add ?b ?a)", true},
      {"(op|add|scalar=f0000000000000000;side=sr ?x)", true},
      {"(f ?a ?b ?c)", true},
      {"(f ?a ?a)", false},        // needs a Compare
      {"(f (g ?x) ?y)", false},    // two Binds
      {"(f ?x (g ?x))", false},    // a Lookup after the Bind
      {"(f)", false},              // a ground root is a Lookup
      {"?x", false},               // no instruction at all
  };
  for (const Case& c : cases) EXPECT_EQ(parse(c.text).is_flat_bind(), c.flat) << c.text;
}

// Random graphs over a few operators, one of them used at two arities, with random
// merges, so classes hold several nodes of one operator, duplicates after
// canonicalisation, and nodes whose children were merged away.
EGraph random_egraph(std::mt19937_64& rng) {
  const Symbol f = Symbol::intern("f");
  const Symbol g = Symbol::intern("g");
  const Symbol leaf = Symbol::intern("leaf");
  EGraph eg;
  std::vector<Id> ids;
  for (int k = 0; k < 3; ++k) {
    ids.push_back(eg.add(SymbolNode(Symbol::intern("leaf" + std::to_string(k)), {})));
  }
  ids.push_back(eg.add(SymbolNode(leaf, {})));
  auto pick = [&] { return ids[rng() % ids.size()]; };
  const std::size_t steps = 10 + rng() % 60;
  for (std::size_t s = 0; s < steps; ++s) {
    switch (rng() % 5) {
      case 0:
        ids.push_back(eg.add(SymbolNode(f, {pick(), pick()})));
        break;
      case 1:
        ids.push_back(eg.add(SymbolNode(f, {pick()})));
        break;
      case 2:
        ids.push_back(eg.add(SymbolNode(g, {pick()})));
        break;
      case 3:
        ids.push_back(eg.add(SymbolNode(f, {pick(), pick(), pick()})));
        break;
      default:
        eg.union_classes(pick(), pick());
        break;
    }
  }
  eg.rebuild();
  return eg;
}

TEST(FlatBindSearch, AgreesWithTheMachineOnRandomEGraphs) {
  const char* const patterns[] = {"(f ?a ?b)", "(f ?b ?a)", "(f ?x)", "(g ?x)", "(f ?c ?a ?b)", "(absent ?x)"};
  const std::size_t limits[] = {0, 1, 2, 3, 5, 8, 13, static_cast<std::size_t>(-1)};
  std::mt19937_64 rng(0x5eed'f1a7);
  std::size_t nonempty = 0;
  std::size_t certain = 0;
  for (int round = 0; round < 300; ++round) {
    const EGraph eg = random_egraph(rng);
    ASSERT_FALSE(eg.check_invariants().has_value()) << *eg.check_invariants();
    for (const char* text : patterns) {
      const Pattern p = parse(text);
      ASSERT_TRUE(p.is_flat_bind()) << text;
      for (const std::size_t limit : limits) {
        const std::vector<SearchMatches> fast = p.search_with_limit(eg, limit);
        const std::vector<SearchMatches> general = p.search_with_machine(eg, limit);
        ASSERT_EQ(dump(fast), dump(general)) << text << " limit " << limit << " round " << round;
        std::size_t total = 0;
        for (const SearchMatches& m : fast) total += m.substs.size();
        EXPECT_LE(total, limit);
        if (total > 0) ++nonempty;
        // The shortcut a scheduler bans by must never claim more than a search finds.
        if (p.matches_at_least(eg, limit)) {
          ++certain;
          EXPECT_EQ(total, limit) << text << " limit " << limit << " round " << round;
        }
      }
    }
  }
  // The comparison means little unless the searches found something.
  EXPECT_GT(nonempty, 1000u);
  EXPECT_GT(certain, 300u);
}

TEST(FlatBindSearch, CountsMatchesOnlyWhenTheOperatorHasOneArity) {
  const Symbol f = Symbol::intern("f");
  const Symbol x = Symbol::intern("x");
  const Symbol y = Symbol::intern("y");
  EGraph eg;
  const Id a = eg.add(SymbolNode(x, {}));
  const Id b = eg.add(SymbolNode(y, {}));
  eg.add(SymbolNode(f, {a, b}));
  eg.add(SymbolNode(f, {b, a}));
  const Pattern binary = parse("(f ?p ?q)");
  const Pattern unary = parse("(f ?p)");
  EXPECT_FALSE(binary.matches_at_least(eg, 1)) << "a dirty graph's index proves nothing";
  eg.rebuild();
  EXPECT_TRUE(binary.matches_at_least(eg, 2));
  EXPECT_FALSE(binary.matches_at_least(eg, 3));
  EXPECT_FALSE(unary.matches_at_least(eg, 1));
  // A unary f in a class of its own, then merged into a binary one's class: the
  // operator has two arities now, and a class may hold f only at the other one.
  const Id lone = eg.add(SymbolNode(f, {a}));
  eg.union_classes(lone, a);
  eg.rebuild();
  EXPECT_FALSE(binary.matches_at_least(eg, 1));
  EXPECT_FALSE(unary.matches_at_least(eg, 1));
  EXPECT_EQ(unary.search_with_limit(eg, 10).size(), 1u);
}

TEST(FlatBindSearch, RefusesADirtyEGraph) {
  EGraph eg;
  eg.add(SymbolNode(Symbol::intern("f"), {}));
  EXPECT_THROW(parse("(f ?x)").search_with_limit(eg, 10), support::InternalError);
}

}  // namespace
}  // namespace brantel::egraph
