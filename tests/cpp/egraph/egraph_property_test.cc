// Random sequences of adds, unions and rebuilds, checked after every rebuild against
// the e-graph's own invariant checker and against a naive congruence closure that
// shares no code with the e-graph: union-find over the added nodes, closed under the
// explicit unions and "same operator, pairwise-equal children" until nothing changes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "egraph/egraph.h"
#include "testing/naive_union_find.h"

namespace brantel::egraph {
namespace {

struct NaiveClosure {
  std::vector<std::pair<std::string, std::vector<std::size_t>>> nodes;  // op, children
  std::vector<std::pair<std::size_t, std::size_t>> unions;

  std::vector<std::size_t> classes() const {
    reference::NaiveUnionFind uf(nodes.size());
    for (const auto& [a, b] : unions) uf.unite(a, b);
    for (bool changed = true; changed;) {
      changed = false;
      for (std::size_t i = 0; i < nodes.size(); ++i) {
        for (std::size_t j = i + 1; j < nodes.size(); ++j) {
          if (nodes[i].first != nodes[j].first || nodes[i].second.size() != nodes[j].second.size()) continue;
          bool same = true;
          for (std::size_t k = 0; k < nodes[i].second.size() && same; ++k) {
            same = uf.find(nodes[i].second[k]) == uf.find(nodes[j].second[k]);
          }
          if (same && uf.unite(i, j)) changed = true;
        }
      }
    }
    return uf.roots();
  }
};

// With `complete` false (a rebuild cut short), the e-graph may have found only
// some of the closure's merges, but never one outside it.
void expect_same_partition(const EGraph& g, const std::vector<Id>& ids,
                           const std::vector<std::size_t>& naive, unsigned seed, bool complete = true) {
  for (std::size_t i = 0; i < ids.size(); ++i) {
    for (std::size_t j = i + 1; j < ids.size(); ++j) {
      const bool merged = g.find(ids[i]) == g.find(ids[j]);
      if (complete || merged) {
        ASSERT_EQ(merged, naive[i] == naive[j]) << "seed " << seed << ": nodes " << i << " and " << j;
      }
    }
  }
}

TEST(EGraphProperty, RandomAddsAndUnionsMatchANaiveCongruenceClosure) {
  const char* const ops[] = {"f", "g", "h", "leaf0", "leaf1", "leaf2"};
  for (unsigned seed = 1; seed <= 300; ++seed) {
    std::mt19937 rng(seed);
    EGraph g;
    NaiveClosure naive;
    std::vector<Id> ids;  // one per add call, parallel to naive.nodes
    const int steps = 20 + static_cast<int>(rng() % 40);
    for (int step = 0; step < steps; ++step) {
      const unsigned choice = rng() % 10;
      if (ids.size() < 2 || choice < 6) {
        std::vector<std::size_t> children;
        // Now and then wider than the rebuild's deferral threshold.
        const std::size_t arity = ids.empty() ? 0 : rng() % 8 == 0 ? 17 + rng() % 8 : rng() % 4;
        for (std::size_t k = 0; k < arity; ++k) children.push_back(rng() % ids.size());
        const std::string op = arity == 0 ? ops[3 + rng() % 3] : ops[rng() % 3];
        std::vector<Id> child_ids;
        for (std::size_t c : children) child_ids.push_back(ids[c]);
        ids.push_back(g.add(SymbolNode(Symbol::intern(op), child_ids)));
        naive.nodes.emplace_back(op, children);
      } else if (choice < 9) {
        const std::size_t a = rng() % ids.size();
        const std::size_t b = rng() % ids.size();
        g.union_classes(ids[a], ids[b]);
        naive.unions.emplace_back(a, b);
      } else if (rng() % 2 == 0) {
        // A rebuild that runs out of budget after a few units; later steps and the
        // final rebuild carry on from what it left.
        WorkBudget cut([] { return WorkBudget::TimePoint::max(); }, WorkBudget::TimePoint{}, 1 + rng() % 40);
        g.rebuild(cut);
        expect_same_partition(g, ids, naive.classes(), seed, /*complete=*/false);
      } else {
        g.rebuild();
        const std::optional<std::string> problem = g.check_invariants();
        ASSERT_FALSE(problem.has_value()) << "seed " << seed << ": " << *problem;
        expect_same_partition(g, ids, naive.classes(), seed);
      }
    }
    g.rebuild();
    const std::optional<std::string> problem = g.check_invariants();
    ASSERT_FALSE(problem.has_value()) << "seed " << seed << ": " << *problem;
    expect_same_partition(g, ids, naive.classes(), seed);
  }
}

}  // namespace
}  // namespace brantel::egraph
