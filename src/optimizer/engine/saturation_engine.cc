#include "optimizer/engine/saturation_engine.h"

#include <chrono>
#include <cstdint>
#include <string_view>
#include <utility>

#include "egraph/egraph.h"
#include "egraph/symbol.h"
#include "optimizer/engine/rule_set.h"
#include "support/check.h"
#include "support/hash.h"

namespace brantel::engine {
namespace {

using egraph::Id;

constexpr std::uint64_t kUnset = ~std::uint64_t{0};
constexpr std::chrono::seconds kTimeLimit{5};

bool is_opaque_label(std::string_view label) { return !label.starts_with("op|"); }

// Symbols of the labels seen in one call. A graph repeats a few hundred labels over
// and over; looking them up here skips the process-wide table and its shard lock.
// The texts are views into the caller's terms, which outlive the call.
class LabelCache {
 public:
  egraph::Symbol get(std::string_view label) {
    const std::uint64_t hash = support::hash_bytes(label.data(), label.size(), kSeed);
    std::size_t i = static_cast<std::size_t>(hash) & mask_;
    while (slots_[i].used) {
      if (slots_[i].hash == hash && slots_[i].text == label) return slots_[i].symbol;
      i = (i + 1) & mask_;
    }
    const egraph::Symbol symbol = egraph::Symbol::intern(label);
    slots_[i] = Slot{hash, label, symbol, true};
    if (++used_ * 2 > slots_.size()) grow();
    return symbol;
  }

 private:
  static constexpr std::uint64_t kSeed = 0x1abe'15ca'c4e0'0001ULL;
  struct Slot {
    std::uint64_t hash = 0;
    std::string_view text;
    egraph::Symbol symbol;
    bool used = false;
  };

  void grow() {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(old_size() * 2));
    mask_ = slots_.size() - 1;
    for (const Slot& s : old) {
      if (!s.used) continue;
      std::size_t i = static_cast<std::size_t>(s.hash) & mask_;
      while (slots_[i].used) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }
  std::size_t old_size() const { return slots_.size(); }

  std::vector<Slot> slots_ = std::vector<Slot>(256);
  std::size_t mask_ = 255;
  std::size_t used_ = 0;
};

}  // namespace

SaturationEngine::SaturationEngine() : rules_(build_rule_set()) {}

CanonicalTerms SaturationEngine::canonicalize(const TermGraph& graph) {
  RunSummary summary;
  return canonicalize_traced(graph, summary);
}

CanonicalTerms SaturationEngine::canonicalize_traced(const TermGraph& graph, RunSummary& summary) {
  const std::size_t n = graph.terms.size();

  // Load. ids[i] is the class of term i; a child index must name an earlier term,
  // which at_checked enforces because ids holds exactly the terms before i.
  egraph::EGraph loaded;
  loaded.reserve(n);
  std::vector<Id> ids;
  ids.reserve(n);
  std::vector<Id> children;
  LabelCache labels;
  for (const EngineTerm& term : graph.terms) {
    children.clear();
    for (const std::uint64_t c : term.children) children.push_back(support::at_checked(ids, c));
    const Id id = loaded.add(egraph::SymbolNode(labels.get(term.label), children));
    ids.push_back(loaded.find(id));
  }

  // Saturate.
  summary.node_limit = node_limit_for(n);
  egraph::Runner runner;
  runner.with_iter_limit(iter_limit_)
      .with_node_limit(summary.node_limit)
      .with_time_limit(kTimeLimit)
      .with_egraph(std::move(loaded));
  runner.run(rules_);
  const egraph::EGraph& saturated = runner.egraph();
  summary.stop_reason = *runner.stop_reason();
  summary.iterations = runner.iterations().size();
  summary.total_size = saturated.total_size();
  summary.class_count = saturated.class_count();

  // Read back. Classes are numbered in the order of their first input member, and
  // walking the terms in order meets each class's first member first.
  std::vector<Id> canon(n);
  for (std::size_t i = 0; i < n; ++i) canon[i] = saturated.find(ids[i]);
  std::vector<std::uint64_t> out_index(saturated.id_count(), kUnset);
  auto output_of = [&](Id eclass) {
    const std::uint64_t out = out_index[eclass];
    if (out == kUnset) support::panic("no entry found for key");
    return out;
  };

  CanonicalTerms result;
  for (std::size_t i = 0; i < n; ++i) {
    if (out_index[canon[i]] != kUnset) continue;
    const EngineTerm& term = graph.terms[i];
    EngineTerm out;
    out.label = term.label;
    out.children.reserve(term.children.size());
    // Each child is an earlier term, so its class already has an output index.
    for (const std::uint64_t c : term.children) out.children.push_back(output_of(canon[c]));
    out.is_opaque = is_opaque_label(out.label);
    out_index[canon[i]] = result.terms.size();
    result.terms.push_back(std::move(out));
  }
  result.roots.reserve(graph.roots.size());
  for (const std::uint64_t r : graph.roots) result.roots.push_back(output_of(support::at_checked(canon, r)));
  result.term_map.reserve(n);
  for (std::size_t i = 0; i < n; ++i) result.term_map.push_back(out_index[canon[i]]);
  return result;
}

}  // namespace brantel::engine
