// Pipeline-shaped graphs of tens of thousands of terms: large enough that the
// e-graph's tables grow many times, that the commute rules pass the scheduler's
// match threshold and get banned, and that far-reaching children (fan-out) are
// common. The result of a saturated
// run must equal a one-pass closure over the input terms. One pass suffices for
// these rules: a term only ever joins an existing class (its child's, for an
// identity, or that of an earlier term with the same label and equal children,
// crosswise for a commutative op), so no two earlier classes ever merge and every
// class is final once its terms are read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "optimizer/engine/saturation_engine.h"
#include "testing/rule_labels.h"

namespace brantel::engine {
namespace {

using reference::is_commutative;
using reference::is_identity;

// The earliest term of each term's class.
std::vector<std::size_t> one_pass_classes(const std::vector<EngineTerm>& terms) {
  std::map<std::pair<std::string, std::vector<std::size_t>>, std::size_t> first_with_key;
  std::vector<std::size_t> cls(terms.size());
  for (std::size_t i = 0; i < terms.size(); ++i) {
    std::vector<std::size_t> children;
    for (const std::uint64_t c : terms[i].children) children.push_back(cls[c]);
    if (children.size() == 1 && is_identity(terms[i].label)) {
      cls[i] = children[0];
      continue;
    }
    if (children.size() == 2 && is_commutative(terms[i].label)) std::sort(children.begin(), children.end());
    cls[i] = first_with_key.try_emplace({terms[i].label, std::move(children)}, i).first->second;
  }
  return cls;
}

TermGraph pipeline_graph(std::size_t n, unsigned seed) {
  static const char* const kUnary[] = {"op|neg", "op|exp", "op|cast|to=sf32", "op|add|axis=i0"};
  static const char* const kBinary[] = {"op|sub", "op|div", "op|pow"};
  std::mt19937_64 rng(seed);
  auto roll = [&] { return static_cast<unsigned>(rng() % 100); };
  // Mostly the last few terms (chains), sometimes anything earlier (fan-out).
  auto pick = [&](std::size_t i) -> std::uint64_t {
    return roll() < 80 ? i - 1 - rng() % std::min<std::size_t>(i, 6) : rng() % i;
  };
  TermGraph g;
  std::vector<std::size_t> commutative;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned r = roll();
    EngineTerm t;
    if (i < 2 || r < 4) {
      t.label = "src|table|name=s" + std::to_string(i);
    } else if (r < 34) {
      if (!commutative.empty() && roll() < 40) {
        // The same op again, operands in either order.
        const EngineTerm& earlier = g.terms[commutative[rng() % commutative.size()]];
        t.label = earlier.label;
        t.children = {earlier.children[1], earlier.children[0]};
        if (roll() < 30) std::swap(t.children[0], t.children[1]);
      } else {
        t.label = "op|" + std::string(reference::kCommutativeOps[rng() % reference::kCommutativeOps.size()]);
        t.children = {pick(i), pick(i)};
      }
      commutative.push_back(i);
    } else if (r < 44) {
      t.label = std::string(reference::kIdentityLabels[rng() % reference::kIdentityLabels.size()]);
      t.children = {pick(i)};
    } else if (r < 74) {
      t.label = kUnary[rng() % std::size(kUnary)];
      t.children = {pick(i)};
    } else if (r < 88) {
      t.label = kBinary[rng() % std::size(kBinary)];
      t.children = {pick(i), pick(i)};
    } else if (r < 92) {
      t = g.terms[rng() % i];
    } else {
      t.label = roll() < 50 ? "exch" : "join";
      t.children = {pick(i)};
      if (t.label == "join") t.children.push_back(pick(i));
    }
    g.terms.push_back(std::move(t));
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (i + 16 >= n || roll() < 2) g.roots.push_back(i);
  }
  return g;
}

class SaturationEngineScale : public ::testing::TestWithParam<std::pair<std::size_t, unsigned>> {};

TEST_P(SaturationEngineScale, SaturatedRunEqualsTheOnePassClosure) {
  const auto [n, seed] = GetParam();
  const TermGraph graph = pipeline_graph(n, seed);
  SaturationEngine engine;
  RunSummary summary;
  const CanonicalTerms out = engine.canonicalize_traced(graph, summary);
  ASSERT_EQ(summary.stop_reason.kind, egraph::StopReason::Kind::kSaturated);

  // Classes numbered in the order of their earliest term, which is their representative.
  const std::vector<std::size_t> cls = one_pass_classes(graph.terms);
  std::vector<std::uint64_t> expected_map(n);
  std::vector<std::size_t> representatives;
  std::map<std::size_t, std::uint64_t> number_of_class;
  for (std::size_t i = 0; i < n; ++i) {
    auto [it, fresh] = number_of_class.try_emplace(cls[i], representatives.size());
    if (fresh) representatives.push_back(i);
    expected_map[i] = it->second;
  }
  ASSERT_EQ(out.term_map, expected_map);
  ASSERT_EQ(out.terms.size(), representatives.size());
  for (std::size_t k = 0; k < representatives.size(); ++k) {
    const EngineTerm& in = graph.terms[representatives[k]];
    ASSERT_EQ(out.terms[k].label, in.label) << "output term " << k;
    ASSERT_EQ(out.terms[k].children.size(), in.children.size()) << "output term " << k;
    for (std::size_t c = 0; c < in.children.size(); ++c) {
      ASSERT_EQ(out.terms[k].children[c], expected_map[in.children[c]]) << "output term " << k;
    }
    ASSERT_EQ(out.terms[k].is_opaque, !in.label.starts_with("op|"));
  }
  ASSERT_EQ(out.roots.size(), graph.roots.size());
  for (std::size_t k = 0; k < graph.roots.size(); ++k) ASSERT_EQ(out.roots[k], expected_map[graph.roots[k]]);
  // The graphs do collapse: twins, repeats and identities leave well under n classes.
  EXPECT_LT(representatives.size(), n * 9 / 10);
}

INSTANTIATE_TEST_SUITE_P(Graphs, SaturationEngineScale,
                         ::testing::Values(std::pair<std::size_t, unsigned>{5'000, 1},
                                           std::pair<std::size_t, unsigned>{60'000, 2},
                                           std::pair<std::size_t, unsigned>{150'000, 3}));

}  // namespace
}  // namespace brantel::engine
