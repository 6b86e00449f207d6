// Random small term graphs, canonicalised and compared with a deliberately simple
// congruence closure over the input terms only: union-find, repeating the identity
// rule (one-child identity label = its child), the commute rule (two terms with the
// same bare commutative label whose children are equal crosswise) and congruence
// (same label, pairwise-equal children) until nothing changes. The same graphs are
// also run through a runner whose hook re-checks every e-graph invariant after each
// rebuild.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "egraph/runner.h"
#include "optimizer/engine/saturation_engine.h"
#include "testing/naive_union_find.h"
#include "testing/rule_labels.h"

namespace brantel::engine {
namespace {

using reference::is_commutative;
using reference::is_identity;

std::vector<std::size_t> naive_classes(const std::vector<EngineTerm>& terms) {
  reference::NaiveUnionFind uf(terms.size());
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t i = 0; i < terms.size(); ++i) {
      const EngineTerm& ti = terms[i];
      if (ti.children.size() == 1 && is_identity(ti.label)) changed |= uf.unite(i, ti.children[0]);
      for (std::size_t j = i + 1; j < terms.size(); ++j) {
        const EngineTerm& tj = terms[j];
        if (ti.label != tj.label || ti.children.size() != tj.children.size()) continue;
        bool pairwise = true;
        for (std::size_t k = 0; k < ti.children.size() && pairwise; ++k) {
          pairwise = uf.find(ti.children[k]) == uf.find(tj.children[k]);
        }
        const bool crosswise = ti.children.size() == 2 && is_commutative(ti.label) &&
                               uf.find(ti.children[0]) == uf.find(tj.children[1]) &&
                               uf.find(ti.children[1]) == uf.find(tj.children[0]);
        if (pairwise || crosswise) changed |= uf.unite(i, j);
      }
    }
  }
  return uf.roots();
}

std::vector<EngineTerm> random_graph(std::mt19937& rng) {
  static const std::vector<std::string> labels = [] {
    std::vector<std::string> l = {"op|sub", "op|neg", "op|add|axis=i0", "red|sum", "exch", "join"};
    for (std::string_view op : reference::kCommutativeOps) l.push_back("op|" + std::string(op));
    for (std::string_view id : reference::kIdentityLabels) {
      l.emplace_back(id);
      l.emplace_back(id);  // twice as likely: identities drive most merges
    }
    return l;
  }();
  std::vector<EngineTerm> terms;
  const std::size_t n = 2 + rng() % 24;
  for (std::size_t i = 0; i < n; ++i) {
    if (i == 0 || rng() % 6 == 0) {
      terms.push_back(EngineTerm{"src|" + std::to_string(rng() % 3), {}, true});
      continue;
    }
    EngineTerm term{labels[rng() % labels.size()], {}, false};
    const std::size_t arity = 1 + (rng() % 8 == 0 ? 2 : rng() % 2);
    // Prefer recent terms, so chains and shared operands both occur.
    for (std::size_t k = 0; k < arity; ++k) term.children.push_back(i - 1 - rng() % std::min<std::size_t>(i, 4));
    terms.push_back(std::move(term));
  }
  return terms;
}

TEST(SaturationEngineProperty, RandomGraphsMatchANaiveClosure) {
  SaturationEngine engine;
  for (unsigned seed = 1; seed <= 1500; ++seed) {
    std::mt19937 rng(seed);
    const std::vector<EngineTerm> terms = random_graph(rng);
    RunSummary summary;
    const CanonicalTerms out = engine.canonicalize_traced(TermGraph{terms, {terms.size() - 1}}, summary);
    ASSERT_EQ(summary.stop_reason.kind, egraph::StopReason::Kind::kSaturated) << "seed " << seed;
    const std::vector<std::size_t> naive = naive_classes(terms);
    for (std::size_t i = 0; i < terms.size(); ++i) {
      for (std::size_t j = i + 1; j < terms.size(); ++j) {
        ASSERT_EQ(out.term_map[i] == out.term_map[j], naive[i] == naive[j])
            << "seed " << seed << ": terms " << i << " and " << j;
      }
    }
    // The reduction skips its own hash-consing on this promise.
    ASSERT_TRUE(out.distinct);
    for (std::size_t i = 0; i < out.terms.size(); ++i) {
      for (std::size_t j = i + 1; j < out.terms.size(); ++j) {
        ASSERT_FALSE(out.terms[i].label == out.terms[j].label && out.terms[i].children == out.terms[j].children)
            << "seed " << seed << ": output terms " << i << " and " << j << " are one term";
      }
    }
  }
}

TEST(SaturationEngineProperty, EveryRebuildLeavesTheInvariantsIntact) {
  const SaturationEngine engine;
  for (unsigned seed = 1; seed <= 300; ++seed) {
    std::mt19937 rng(seed);
    const std::vector<EngineTerm> terms = random_graph(rng);
    egraph::EGraph g;
    std::vector<egraph::Id> ids;
    for (const EngineTerm& term : terms) {
      std::vector<egraph::Id> children;
      for (std::uint64_t c : term.children) children.push_back(ids[c]);
      ids.push_back(g.find(g.add(egraph::SymbolNode(egraph::Symbol::intern(term.label), children))));
    }
    std::size_t checks = 0;
    egraph::Runner runner;
    runner.with_iter_limit(engine.iter_limit()).with_egraph(std::move(g));
    runner.with_hook([&](egraph::Runner& r) -> std::optional<std::string> {
      ++checks;
      return r.egraph().check_invariants();  // a violation stops the run with its text
    });
    runner.run(engine.rules());
    ASSERT_EQ(runner.stop_reason()->kind, egraph::StopReason::Kind::kSaturated)
        << "seed " << seed << ": " << runner.stop_reason()->to_string();
    const std::optional<std::string> final_problem = runner.egraph().check_invariants();
    ASSERT_FALSE(final_problem.has_value()) << "seed " << seed << ": " << *final_problem;
    EXPECT_EQ(checks, runner.iterations().size());
  }
}

}  // namespace
}  // namespace brantel::engine
