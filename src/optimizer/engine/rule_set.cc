#include "optimizer/engine/rule_set.h"

#include <string>

#include "support/check.h"

namespace brantel::engine {
namespace {

// Substitutes text for the single "{}" of a rule template.
std::string fill(std::string_view template_text, std::string_view text) {
  const std::size_t at = template_text.find("{}");
  BRANTEL_CHECK(at != std::string_view::npos, "rule template has a placeholder");
  std::string out(template_text.substr(0, at));
  out += text;
  out += template_text.substr(at + 2);
  return out;
}

egraph::Rewrite parse_rule(const std::string& name, const std::string& searcher,
                           const std::string& applier) {
  auto rule = egraph::Rewrite::parse(name, searcher, applier);
  if (!rule) support::panic("rule " + name + " does not build: " + *rule.error());
  return std::move(*rule);
}

}  // namespace

std::vector<egraph::Rewrite> build_rule_set() {
  std::vector<egraph::Rewrite> rules;
  rules.reserve(kCommutativeOps.size() + kIdentityLabels.size());
  for (std::string_view op : kCommutativeOps) {
    rules.push_back(parse_rule(fill("commute-{}", op), fill("(op|{} ?a ?b)", op),
                               fill("(op|{} ?b ?a)", op)));
  }
  for (std::size_t k = 0; k < kIdentityLabels.size(); ++k) {
    rules.push_back(parse_rule(fill("identity-{}", std::to_string(k)),
                               fill("({} ?x)", kIdentityLabels[k]), "?x"));
  }
  return rules;
}

}  // namespace brantel::engine
