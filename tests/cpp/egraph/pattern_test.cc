#include "egraph/pattern.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "support/check.h"

namespace brantel::egraph {
namespace {

SymbolNode n(const char* op, std::initializer_list<Id> children = {}) {
  return SymbolNode(Symbol::intern(op), std::span<const Id>(children.begin(), children.size()));
}

Pattern parse(const char* text) {
  auto p = Pattern::parse(text);
  if (!p) ADD_FAILURE() << text << ": " << describe(*p.error());
  return std::move(*p);
}

// One readable line per AST entry kind, e.g. "?a ?b op|add(0, 1)".
std::string dump(const PatternAst& ast) {
  std::string out;
  for (const PatternNode& e : ast) {
    if (!out.empty()) out += ' ';
    if (const Var* v = std::get_if<Var>(&e)) {
      out += std::string(v->text());
    } else {
      out += std::get<SymbolNode>(e).to_string();
    }
  }
  return out;
}

TEST(PatternParse, BuildsPostOrderAsts) {
  struct Case {
    const char* text;
    const char* ast;
    const char* round_trip;
  };
  const Case cases[] = {
      {"?x", "?x", "?x"},
      {"?", "?", "?"},  // a lone question mark is an operator
      {"  (op|add ?a ?b)\n", "?a ?b op|add(0, 1)", "(op|add ?a ?b)"},
      {"(f (g ?x) ?x)", "?x g(0) ?x f(1, 2)", "(f (g ?x) ?x)"},
      {"(a)", "a", "a"},
      {"(?x)", "?x", "?x"},
  };
  for (const Case& c : cases) {
    const Pattern p = parse(c.text);
    EXPECT_EQ(dump(p.ast()), c.ast) << c.text;
    EXPECT_EQ(p.to_string(), c.round_trip) << c.text;
  }
  EXPECT_EQ(parse("(f ?b (g ?a ?b))").vars(), (std::vector<Var>{Var::of("?b"), Var::of("?a")}));
}

TEST(PatternParse, RefusesMalformedTextWithTheRightKind) {
  struct Case {
    const char* text;
    ParseErrorKind kind;
  };
  const Case cases[] = {
      {"(?f ?a)", ParseErrorKind::kUnexpectedVar}, {"((a) b)", ParseErrorKind::kHeadList},
      {"(() b)", ParseErrorKind::kHeadList},       {"()", ParseErrorKind::kEmptySexp},
      {"(f ())", ParseErrorKind::kEmptySexp},      {"", ParseErrorKind::kBadSexp},
      {"(f ?a", ParseErrorKind::kBadSexp},         {"f)", ParseErrorKind::kBadSexp},
      {"f g", ParseErrorKind::kBadSexp},           {")", ParseErrorKind::kBadSexp},
  };
  for (const Case& c : cases) {
    auto p = Pattern::parse(c.text);
    ASSERT_FALSE(p.ok()) << c.text;
    EXPECT_EQ(p.error()->kind, c.kind) << c.text << ": " << describe(*p.error());
  }
  EXPECT_EQ(Pattern::parse("(?f ?a)").error()->detail, "?f");
  EXPECT_FALSE(Pattern::parse(std::string(1000, '(') + "a" + std::string(1000, ')')).ok());
}

TEST(PatternCompile, EmitsBindCompareAndLookup) {
  EXPECT_EQ(parse("(op|add ?a ?b)").program().to_string(),
            "Program { instructions: [Bind { node: op|add/2, i: 0, out: 1 }], subst: {?a: 1, ?b: 2} }");
  EXPECT_EQ(parse("(op|neg ?x)").program().to_string(),
            "Program { instructions: [Bind { node: op|neg/1, i: 0, out: 1 }], subst: {?x: 1} }");
  EXPECT_EQ(parse("(f ?a ?a)").program().to_string(),
            "Program { instructions: [Bind { node: f/2, i: 0, out: 1 }, Compare { i: 2, j: 1 }], "
            "subst: {?a: 1} }");
  EXPECT_EQ(parse("(f ?x (g ?x c))").program().to_string(),
            "Program { instructions: [Bind { node: f/2, i: 0, out: 1 }, "
            "Lookup { term: [Reg(1), ENode(c), ENode(g(0, 1))], i: 2 }], subst: {?x: 1} }");
  EXPECT_EQ(parse("?x").program().instructions.size(), 0u);
}

class PatternSearch : public ::testing::Test {
 protected:
  Id add(const char* op, std::initializer_list<Id> children = {}) { return g.add(n(op, children)); }
  EGraph g;
};

TEST_F(PatternSearch, FindsEveryNodeOfAClassInSortedOrder) {
  const Id x = add("x");
  const Id y = add("y");
  const Id xy = add("op|add", {x, y});
  const Id yx = add("op|add", {y, x});
  g.union_classes(xy, yx);
  g.rebuild();
  const auto matches = parse("(op|add ?a ?b)").search(g);
  ASSERT_EQ(matches.size(), 1u);
  EXPECT_EQ(matches[0].eclass, g.find(xy));
  ASSERT_EQ(matches[0].substs.size(), 2u);
  const Var a = Var::of("?a"), b = Var::of("?b");
  // Sorted node order: add(x, y) before add(y, x) because x < y.
  EXPECT_EQ(matches[0].substs[0][a], x);
  EXPECT_EQ(matches[0].substs[0][b], y);
  EXPECT_EQ(matches[0].substs[1][a], y);
  EXPECT_EQ(matches[0].substs[1][b], x);
  EXPECT_THROW((void)matches[0].substs[0][Var::of("?missing")], support::InternalError);
}

TEST_F(PatternSearch, RepeatedVariableNeedsOneClass) {
  const Id x = add("x");
  const Id y = add("y");
  add("f", {x, x});
  const Id fxy = add("f", {x, y});
  g.rebuild();
  const Pattern same = parse("(f ?a ?a)");
  EXPECT_EQ(same.search(g).size(), 1u);
  g.union_classes(x, y);
  g.rebuild();
  const auto matches = same.search(g);
  ASSERT_EQ(matches.size(), 1u);  // f(x, x) and f(x, y) are now one node of one class
  EXPECT_EQ(matches[0].eclass, g.find(fxy));
}

TEST_F(PatternSearch, GroundSubtermIsLookedUp) {
  const Id a = add("a");
  const Id b = add("b");
  const Id ga = add("g", {a});
  add("g", {b});
  const Id f_match = add("f", {a, ga});
  add("f", {b, ga});
  g.rebuild();
  const auto matches = parse("(f ?x (g ?x))").search(g);
  ASSERT_EQ(matches.size(), 1u);
  EXPECT_EQ(matches[0].eclass, f_match);
}

TEST_F(PatternSearch, LimitCapsSubstitutionsAcrossClasses) {
  Id prev = add("t");
  for (int k = 0; k < 5; ++k) prev = add("h", {prev});  // five h classes, one match each
  g.rebuild();
  const Pattern h = parse("(h ?x)");
  EXPECT_EQ(h.search(g).size(), 5u);
  const auto limited = h.search_with_limit(g, 3);
  ASSERT_EQ(limited.size(), 3u);
  for (const SearchMatches& m : limited) EXPECT_EQ(m.substs.size(), 1u);
  EXPECT_TRUE(h.search_with_limit(g, 0).empty());
}

TEST_F(PatternSearch, VariableRootVisitsEveryClass) {
  add("f", {add("a")});
  g.rebuild();
  EXPECT_EQ(parse("?x").search(g).size(), 2u);
}

TEST_F(PatternSearch, DirtyEGraphIsRefused) {
  add("a");
  try {
    (void)parse("(a)").search(g);
    FAIL() << "searched a dirty e-graph";
  } catch (const support::InternalError& e) {
    EXPECT_STREQ(e.what(), "Tried to search a dirty e-graph!");
  }
}

TEST_F(PatternSearch, ApplyingCommuteCountsOnlyTheFirstTime) {
  const Id a = add("a");
  const Id b = add("b");
  const Id ab = add("op|add", {a, b});
  g.rebuild();
  const Pattern lhs = parse("(op|add ?a ?b)");
  const Pattern rhs = parse("(op|add ?b ?a)");
  const auto first = rhs.apply_matches(g, lhs.search(g));
  ASSERT_EQ(first.size(), 1u);
  g.rebuild();
  EXPECT_EQ(g.lookup(n("op|add", {b, a})), g.find(ab));
  const std::size_t size = g.total_size();
  g.rebuild();
  EXPECT_EQ(rhs.apply_matches(g, lhs.search(g)).size(), 0u);
  EXPECT_EQ(g.total_size(), size);
}

TEST_F(PatternSearch, ApplyingAVariableMergesTheChildIntoTheMatch) {
  const Id x = add("x");
  const Id wrapped = add("op|id", {x});
  g.rebuild();
  const auto changed = parse("?x").apply_matches(g, parse("(op|id ?x)").search(g));
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_EQ(changed[0], x);
  EXPECT_EQ(g.find(wrapped), g.find(x));
}

TEST(ProgramRun, ScanVisitsEveryClass) {
  EGraph g;
  g.add(n("p"));
  g.add(n("q"));
  g.rebuild();
  Program program;
  program.instructions.emplace_back(Scan{1});
  program.subst.emplace_back(Var::of("?y"), 1);
  program.register_count = 2;
  std::vector<Subst> out;
  program.run(g, 0, 10, out);
  EXPECT_EQ(out.size(), 2u);
  out.clear();
  program.run(g, 0, 1, out);
  EXPECT_EQ(out.size(), 1u);
}

}  // namespace
}  // namespace brantel::egraph
