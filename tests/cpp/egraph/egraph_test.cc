#include "egraph/egraph.h"

#include <gtest/gtest.h>

#include <vector>

#include <initializer_list>
#include <string>

#include "support/check.h"

namespace brantel::egraph {
namespace {

SymbolNode n(const char* op, std::initializer_list<Id> children = {}) {
  return SymbolNode(Symbol::intern(op), std::span<const Id>(children.begin(), children.size()));
}

void expect_invariants(const EGraph& g) {
  const std::optional<std::string> problem = g.check_invariants();
  EXPECT_FALSE(problem.has_value()) << *problem;
}

TEST(EGraph, AddingAnEqualNodeTwiceReturnsTheSameClass) {
  EGraph g;
  const Id a = g.add(n("a"));
  const Id f1 = g.add(n("f", {a, a}));
  const std::size_t size = g.total_size();
  EXPECT_EQ(g.add(n("f", {a, a})), f1);
  EXPECT_EQ(g.total_size(), size);
  EXPECT_EQ(g.class_count(), 2u);
  EXPECT_FALSE(g.clean());
}

TEST(EGraph, LookupCanonicalisesChildrenAndNeverAdds) {
  EGraph g;
  const Id a = g.add(n("a"));
  const Id b = g.add(n("b"));
  const Id fb = g.add(n("f", {b}));
  g.union_classes(a, b);
  g.rebuild();
  EXPECT_EQ(g.lookup(n("f", {a})), g.find(fb));
  EXPECT_EQ(g.lookup(n("f", {b})), g.find(fb));
  EXPECT_EQ(g.lookup(n("g", {a})), std::nullopt);
  EXPECT_EQ(g.total_size(), 3u);
}

// A parent over n children is queued once per child that loses a union. Whether
// those unions come before the rebuild (the children themselves merge) or during
// it (congruence between the children), the rebuild does O(n) work, counted by
// its budget, and reaches the full closure.
TEST(EGraph, WideParentIsRepairedInLinearWork) {
  constexpr Id kWidth = 5'000;
  for (const bool through_congruence : {false, true}) {
    EGraph g;
    std::vector<Id> children;
    std::vector<std::pair<Id, Id>> merge;
    std::vector<std::pair<Id, Id>> expect_merged;
    for (Id i = 0; i < kWidth; ++i) {
      const Id s = g.add(n(("s" + std::to_string(i)).c_str()));
      const Id b = g.add(n("b", {s}));
      if (through_congruence) {
        const Id gb = g.add(n("g", {b}));
        const Id gs = g.add(n("g", {s}));
        children.insert(children.end(), {gb, gs});
        expect_merged.emplace_back(gb, gs);
      } else {
        children.push_back(b);
        expect_merged.emplace_back(b, s);
      }
      merge.emplace_back(s, b);
    }
    g.add(SymbolNode(Symbol::intern("join"), children));
    g.rebuild();
    // The first argument's root survives a tie, so each b loses and queues its parents.
    for (const auto& [s, b] : merge) g.union_classes(s, b);
    WorkBudget counter;
    g.rebuild(counter);
    EXPECT_LE(counter.spent(), 20u * kWidth) << through_congruence;
    for (const auto& [x, y] : expect_merged) ASSERT_EQ(g.find(x), g.find(y)) << through_congruence;
    expect_invariants(g);
  }
}

TEST(EGraph, UnionThenRebuildRestoresCongruence) {
  // The worked example of the header: f(a) and f(b) merge once a and b do.
  EGraph g;
  const Id a = g.add(n("a"));
  const Id b = g.add(n("b"));
  const Id fa = g.add(n("f", {a}));
  const Id fb = g.add(n("f", {b}));
  const Id gfa = g.add(n("g", {fa}));
  const Id gfb = g.add(n("g", {fb}));
  g.rebuild();
  EXPECT_NE(g.find(fa), g.find(fb));

  EXPECT_TRUE(g.union_classes(a, b));
  EXPECT_FALSE(g.clean());
  EXPECT_EQ(g.rebuild(), 2u);  // f(a)~f(b), then g(f(a))~g(f(b))
  EXPECT_TRUE(g.clean());
  EXPECT_EQ(g.find(fa), g.find(fb));
  EXPECT_EQ(g.find(gfa), g.find(gfb));
  EXPECT_EQ(g.class_count(), 3u);
  EXPECT_EQ(g[fa].nodes.size(), 1u);  // f(a) and f(b) are one canonical node now
  // Stale keys (f(b), g(f(b)) before re-canonicalisation) stay and are counted.
  EXPECT_EQ(g.total_size(), 6u);
  expect_invariants(g);
}

TEST(EGraph, UnionOfOneClassReturnsFalseAndOnlyDirtiesTheGraph) {
  EGraph g;
  const Id a = g.add(n("a"));
  const Id b = g.add(n("b"));
  g.union_classes(a, b);
  g.rebuild();
  EXPECT_FALSE(g.union_classes(a, a));
  EXPECT_FALSE(g.clean());
  EXPECT_FALSE(g.union_classes(b, a));
  EXPECT_EQ(g.rebuild(), 0u);
  EXPECT_EQ(g.class_count(), 1u);
  expect_invariants(g);
}

// Builds a class with `parents` parent entries: x plus that many p_k(x).
Id class_with_parents(EGraph& g, const std::string& name, int parents) {
  const Id x = g.add(n(name.c_str()));
  for (int k = 0; k < parents; ++k) g.add(n((name + "-p" + std::to_string(k)).c_str(), {x}));
  return x;
}

TEST(EGraph, UnionKeepsTheRootWithMoreParentsWhicheverArgumentItIs) {
  for (const bool five_first : {true, false}) {
    EGraph g;
    const Id five = class_with_parents(g, "five", 5);
    const Id three = class_with_parents(g, "three", 3);
    ASSERT_TRUE(five_first ? g.union_classes(five, three) : g.union_classes(three, five));
    EXPECT_EQ(g.find(three), five) << "five_first=" << five_first;
    EXPECT_EQ(g[five].parents.size(), 8u);
  }
}

TEST(EGraph, ACopyKeepsItsParentListsWhenTheOriginalRecyclesTheirBlocks) {
  EGraph g;
  const Id three = class_with_parents(g, "three", 3);
  const Id five = class_with_parents(g, "five", 5);
  g.rebuild();
  const std::vector<Id> three_parents(g[three].parents.begin(), g[three].parents.end());
  const EGraph copy = g;
  // The union empties the smaller list and the next spilled list allocates
  // afresh; neither may show through the copy.
  ASSERT_TRUE(g.union_classes(three, five));
  const Id other = class_with_parents(g, "other", 4);
  ASSERT_EQ(g[other].parents.size(), 4u);
  EXPECT_EQ(std::vector<Id>(copy[three].parents.begin(), copy[three].parents.end()), three_parents);
  EXPECT_EQ(copy[five].parents.size(), 5u);
  expect_invariants(copy);
}

TEST(EGraph, UnionWithEqualParentCountsKeepsTheFirstArgumentsRoot) {
  EGraph g;
  const Id x = class_with_parents(g, "left", 2);
  const Id y = class_with_parents(g, "right", 2);
  ASSERT_TRUE(g.union_classes(y, x));
  EXPECT_EQ(g.find(x), y);
}

TEST(EGraph, ARepeatedChildRecordsTwoParentEntries) {
  EGraph g;
  const Id a = g.add(n("a"));
  const Id op = g.add(n("op", {a, a}));
  ASSERT_EQ(g[a].parents.size(), 2u);
  EXPECT_EQ(g[a].parents[0], op);
  EXPECT_EQ(g[a].parents[1], op);
}

TEST(EGraph, RebuildSortsAndDeduplicatesMergedNodeLists) {
  EGraph g;
  const Id a = g.add(n("a"));
  const Id b = g.add(n("b"));
  const Id ha = g.add(n("h", {a, b}));
  const Id hb = g.add(n("h", {b, a}));
  const Id z = g.add(n("z"));
  g.union_classes(z, ha);
  g.union_classes(ha, hb);
  g.union_classes(a, b);  // h(a, b) and h(b, a) now canonicalise to the same node
  g.rebuild();
  const EClass& c = g[ha];
  ASSERT_EQ(c.nodes.size(), 2u);
  EXPECT_LT(c.nodes[0], c.nodes[1]);
  expect_invariants(g);
  EXPECT_EQ(g.classes_with_op(Symbol::intern("h")).size(), 1u);
  EXPECT_EQ(g.classes_with_op(Symbol::intern("z")).size(), 1u);
  EXPECT_TRUE(g.classes_with_op(Symbol::intern("never-added")).empty());
}

TEST(EGraph, IndexOnlyKeepsExactListsForTheNamedOperators) {
  EGraph g;
  const Symbol h = Symbol::intern("h");
  g.index_only(std::vector<Symbol>{h});
  const Id a = g.add(n("a"));
  const Id b = g.add(n("b"));
  const Id ha = g.add(n("h", {a}));
  const Id hb = g.add(n("h", {b}));
  g.add(n("k", {ha}));
  g.union_classes(a, b);
  g.rebuild();
  // The two h nodes became one by congruence: one listed class, as with a full index.
  EXPECT_EQ(g.classes_with_op(h).size(), 1u);
  EXPECT_EQ(g.find(ha), g.find(hb));
  expect_invariants(g);
  // An operator outside the index has no list; an empty answer would be a lie.
  EXPECT_THROW((void)g.classes_with_op(Symbol::intern("k")), support::InternalError);
  EGraph late;
  late.add(n("a"));
  EXPECT_THROW(late.index_only(std::vector<Symbol>{h}), support::InternalError);
}

// More operators than the slot cache has entries, interleaved, so that they
// evict each other; indexed and unindexed ones must still land in the right lists.
TEST(EGraph, OperatorListsStayExactWithManyInterleavedOperators) {
  std::vector<Symbol> ops;
  for (int k = 0; k < 1500; ++k) ops.push_back(Symbol::intern("many-op-" + std::to_string(k)));
  std::vector<Symbol> indexed;
  for (std::size_t k = 0; k < ops.size(); k += 7) indexed.push_back(ops[k]);
  EGraph g;
  g.index_only(indexed);
  const Id leaf = g.add(n("leaf"));
  const Id other = g.add(n("other-leaf"));
  std::vector<Id> with_op(ops.size(), 0);
  // First listed as new classes, then re-listed by repair: merging the leaves
  // makes each op(other-leaf) congruent to its op(leaf).
  for (const Id child : {leaf, other}) {
    for (std::size_t k = 0; k < ops.size(); ++k) {
      const std::size_t which = (k * 389 + (child == other ? 17 : 0)) % ops.size();
      with_op[which] = g.add(SymbolNode(ops[which], {child}));
    }
    g.rebuild();
  }
  g.union_classes(leaf, other);
  g.rebuild();
  expect_invariants(g);
  for (std::size_t k = 0; k < ops.size(); k += 7) {
    ASSERT_EQ(g.classes_with_op(ops[k]).size(), 1u) << k;
    EXPECT_EQ(g.classes_with_op(ops[k])[0], g.find(with_op[k])) << k;
  }
  EXPECT_THROW((void)g.classes_with_op(ops[1]), support::InternalError);
}

TEST(EGraph, UnknownIdsAreFatal) {
  EGraph g;
  g.add(n("a"));
  EXPECT_THROW((void)g.find(7), support::InternalError);
  EXPECT_THROW((void)g[7], support::InternalError);
  EXPECT_THROW((void)g.union_classes(0, 7), support::InternalError);
  EXPECT_THROW((void)g.add(n("f", {7})), support::InternalError);
}

TEST(SymbolNode, OrderIsByOperatorThenChildrenWithShorterPrefixFirst) {
  const Symbol f = Symbol::intern("order-f");
  const SymbolNode short_list(f, {1, 2});
  const SymbolNode long_list(f, {1, 2, 0});
  const SymbolNode bigger(f, {1, 3});
  EXPECT_LT(short_list, long_list);
  EXPECT_LT(long_list, bigger);
  EXPECT_TRUE(short_list.matches(bigger));
  EXPECT_FALSE(short_list.matches(long_list));
  // Copies of heap-stored children are independent and equal.
  SymbolNode copy = long_list;
  EXPECT_EQ(copy, long_list);
  EXPECT_EQ(copy.hash(7), long_list.hash(7));
  copy.children_mut()[2] = 9;
  EXPECT_NE(copy, long_list);
}

}  // namespace
}  // namespace brantel::egraph
