// Every term graph of up to four terms over a small alphabet, canonicalised and
// compared with a naive recursive canonical form: a one-child term with an identity
// label takes its child's form, a two-child term with a bare commutative label sorts
// its children's forms, and any other term keeps its label and its children's forms
// in order. Terms are equal exactly when their forms are.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "testing/rule_labels.h"
#include "optimizer/engine/saturation_engine.h"

namespace brantel::engine {
namespace {

using reference::is_identity;

std::vector<std::string> oracle_forms(const std::vector<EngineTerm>& terms) {
  std::vector<std::string> forms;
  for (const EngineTerm& term : terms) {
    std::vector<std::string> kids;
    for (std::uint64_t c : term.children) kids.push_back(forms[c]);
    if (kids.size() == 1 && is_identity(term.label)) {
      forms.push_back(kids[0]);
      continue;
    }
    if (kids.size() == 2 && (term.label == "op|add" || term.label == "op|mul")) std::sort(kids.begin(), kids.end());
    std::string form = term.label + "(";
    for (const std::string& k : kids) form += k + ",";
    forms.push_back(form + ")");
  }
  return forms;
}

std::string show(const std::vector<EngineTerm>& terms) {
  std::string out;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    out += std::to_string(i) + "=" + terms[i].label + "[";
    for (std::uint64_t c : terms[i].children) out += std::to_string(c) + " ";
    out += "] ";
  }
  return out;
}

// Checks one graph; returns false after the first mismatch so the run stays readable.
bool check_graph(SaturationEngine& engine, const std::vector<EngineTerm>& terms) {
  std::vector<std::uint64_t> roots;
  for (std::uint64_t i = terms.size(); i-- > 0;) roots.push_back(i);
  RunSummary summary;
  const CanonicalTerms out = engine.canonicalize_traced(TermGraph{terms, roots}, summary);
  const std::vector<std::string> forms = oracle_forms(terms);
  const std::string where = show(terms);
  EXPECT_EQ(summary.stop_reason.kind, egraph::StopReason::Kind::kSaturated) << where;

  std::map<std::string, std::uint64_t> output_of_form;
  std::vector<std::size_t> first_of_output;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    const auto [it, fresh] = output_of_form.try_emplace(forms[i], output_of_form.size());
    if (fresh) first_of_output.push_back(i);
    if (out.term_map.size() != terms.size() || out.term_map[i] != it->second) {
      ADD_FAILURE() << where << ": term " << i << " is mapped wrongly";
      return false;
    }
  }
  if (out.terms.size() != first_of_output.size()) {
    ADD_FAILURE() << where << ": " << out.terms.size() << " output terms";
    return false;
  }
  for (std::size_t k = 0; k < out.terms.size(); ++k) {
    const EngineTerm& rep = terms[first_of_output[k]];
    TermChildren mapped;
    for (std::uint64_t c : rep.children) mapped.push_back(out.term_map[c]);
    if (out.terms[k].label != rep.label || out.terms[k].children != mapped ||
        out.terms[k].is_opaque != !rep.label.starts_with("op|")) {
      ADD_FAILURE() << where << ": output term " << k << " is not its first member";
      return false;
    }
  }
  for (std::size_t r = 0; r < roots.size(); ++r) {
    if (out.roots[r] != out.term_map[roots[r]]) {
      ADD_FAILURE() << where << ": root " << r;
      return false;
    }
  }
  return true;
}

TEST(SaturationEngineExhaustive, AllGraphsUpToFourTermsMatchTheNaiveCanonicalForm) {
  std::vector<std::string> with_children = {"op|add", "op|mul", "red|r"};
  for (std::string_view l : reference::kIdentityLabels) with_children.emplace_back(l);

  SaturationEngine engine;
  std::vector<EngineTerm> terms;
  std::size_t graphs = 0;
  bool ok = true;
  // Extends terms by every possible next term, checking each prefix as a graph.
  auto extend = [&](auto& self) -> void {
    if (!ok) return;
    if (!terms.empty()) {
      ++graphs;
      ok = check_graph(engine, terms);
    }
    if (terms.size() == 4) return;
    const std::uint64_t earlier = terms.size();
    terms.push_back(EngineTerm{"src|s", {}, true});
    self(self);
    terms.pop_back();
    for (const std::string& label : with_children) {
      for (std::uint64_t a = 0; a < earlier; ++a) {
        terms.push_back(EngineTerm{label, {a}, false});
        self(self);
        terms.pop_back();
        for (std::uint64_t b = 0; b < earlier; ++b) {
          terms.push_back(EngineTerm{label, {a, b}, false});
          self(self);
          terms.pop_back();
        }
      }
    }
  };
  extend(extend);
  EXPECT_TRUE(ok);
  EXPECT_EQ(graphs, 1u + 15u + 15u * 43u + 15u * 43u * 85u);
}

}  // namespace
}  // namespace brantel::engine
