// SaturationEngine::canonicalize: load, saturate, read back. Phases and a worked
// example are described in saturation_engine.h.
#include "optimizer/engine/saturation_engine.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "egraph/egraph.h"
#include "egraph/symbol.h"
#include "optimizer/engine/rule_set.h"
#include "support/check.h"
#include "support/cpu_time.h"
#include "support/hash.h"
#include "support/hash_table.h"
#include "support/mutex.h"
#include "support/no_destructor.h"
#include "support/thread_annotations.h"

namespace brantel::engine {
namespace {

using egraph::Id;

constexpr Id kUnset = egraph::kNoId;
constexpr std::chrono::seconds kTimeLimit{5};

bool is_opaque_label(std::string_view label) { return !label.starts_with("op|"); }

// Stand-in operators for labels that no rule mentions. Such a label only has to be
// told apart from the other labels of the same call, so the k-th distinct one of a
// call takes the k-th stand-in, and the same stand-ins serve every later call. The
// process-wide symbol table, which never frees a text, then grows with the largest
// graph rather than with every distinct parameter ever reduced (a graph of unique
// constants would otherwise add one text per node and call, for the life of the
// process). Symbol values never reach a result, so which symbol a label gets is
// invisible outside the e-graph.
class StandInPool {
 public:
  // Copies the first `count` stand-ins into `out`, interning any that are new.
  void take(std::size_t count, std::vector<egraph::Symbol>& out) {
    support::PoisonGuard lock(mu_);
    while (symbols_.size() < count) {
      // Rule operators start with "op|", so a stand-in never equals one.
      symbols_.push_back(egraph::Symbol::intern("#term-label-" + std::to_string(symbols_.size())));
    }
    out.assign(symbols_.begin(), symbols_.begin() + static_cast<std::ptrdiff_t>(count));
  }

 private:
  support::PoisonableMutex mu_{"brantel-core stand-in symbols poisoned"};
  std::vector<egraph::Symbol> symbols_ BRANTEL_GUARDED_BY(mu_);
};

StandInPool& stand_in_pool() {
  // Never destroyed: a thread may still be reducing while the process exits.
  static support::NoDestructor<StandInPool> pool;
  return pool.get();
}

// Symbols of the labels seen in one call. A graph repeats a few hundred labels over
// and over; looking them up here skips the process-wide table and its shard lock.
// An entry names the first term with its label rather than holding a copy of the
// text, which matters when nearly every label is distinct (a million ops with their
// own constants) and the table is as large as the graph.
class LabelCache {
 public:
  LabelCache(const std::vector<std::string_view>& rule_ops, std::span<const EngineTerm> terms)
      : rule_ops_(rule_ops), terms_(terms) {}

  // The symbol of terms[t]'s label.
  egraph::Symbol get(std::size_t t) {
    BRANTEL_CHECK(t < 0xFFFFFFFFu, "term indices fit in 32 bits");
    const std::string_view label = terms_[t].label;
    const std::uint64_t hash = support::hash_bytes(label.data(), label.size(), kSeed);
    const auto [entry, inserted] = entries_.find_or_insert(
        hash, [&](const Entry& e) { return terms_[e.term].label == label; },
        [&] { return Entry{static_cast<std::uint32_t>(t), egraph::Symbol()}; });
    if (inserted) entry.symbol = symbol_for_new(label);
    return entry.symbol;
  }

 private:
  static constexpr std::uint64_t kSeed = 0x1abe'15ca'c4e0'0001ULL;
  struct Entry {
    std::uint32_t term = 0;
    egraph::Symbol symbol;
  };

  egraph::Symbol symbol_for_new(std::string_view label) {
    // A rule matches an operator by its exact text, so those labels need the real symbol.
    if (std::find(rule_ops_.begin(), rule_ops_.end(), label) != rule_ops_.end()) {
      return egraph::Symbol::intern(label);
    }
    if (stand_ins_used_ == stand_ins_.size()) {
      stand_in_pool().take(std::max<std::size_t>(64, 2 * stand_ins_.size()), stand_ins_);
    }
    return stand_ins_[stand_ins_used_++];
  }

  const std::vector<std::string_view>& rule_ops_;
  std::span<const EngineTerm> terms_;
  std::vector<egraph::Symbol> stand_ins_;
  std::size_t stand_ins_used_ = 0;
  support::HashTable<Entry> entries_;
};

// The operator texts of every pattern of the rules, searchers and appliers alike.
std::vector<std::string_view> operators_of(const std::vector<egraph::Rewrite>& rules) {
  std::vector<std::string_view> ops;
  for (const egraph::Rewrite& rule : rules) {
    for (const egraph::Pattern* pattern : {&rule.searcher(), &rule.applier()}) {
      for (const auto& entry : pattern->ast()) {
        if (const auto* node = std::get_if<egraph::SymbolNode>(&entry)) ops.push_back(node->op().text());
      }
    }
  }
  std::sort(ops.begin(), ops.end());
  ops.erase(std::unique(ops.begin(), ops.end()), ops.end());
  return ops;
}

}  // namespace

SaturationEngine::SaturationEngine() : rules_(build_rule_set()), rule_ops_(operators_of(rules_)) {
  for (std::string_view op : rule_ops_) rule_symbols_.push_back(egraph::Symbol::intern(op));
}

CanonicalTerms SaturationEngine::canonicalize(const TermGraph& graph) {
  RunSummary summary;
  return canonicalize_traced(graph, summary);
}

CanonicalTerms SaturationEngine::canonicalize_traced(const TermGraph& graph, RunSummary& summary) {
  const double load_start = support::thread_cpu_seconds();
  const std::size_t n = graph.terms.size();

  // Load. ids[i] is the class of term i; a child index must name an earlier term,
  // which at_checked enforces because ids holds exactly the terms before i.
  egraph::EGraph loaded;
  // The commute rules add about one swapped e-node per commutative input e-node and
  // the identity rules none, so 2n ids cover a run (beyond that the arrays simply
  // grow); capacity that stays unused is never paged in.
  loaded.reserve(n, 2 * n);
  // Searches start only from rule operators; no other operator needs a class list.
  loaded.index_only(rule_symbols_);
  std::vector<Id> ids;
  ids.reserve(n);
  LabelCache labels(rule_ops_, graph.terms);
  for (std::size_t t = 0; t < n; ++t) {
    const EngineTerm& term = graph.terms[t];
    // Children go straight into the node: no per-term temporary list.
    egraph::SymbolNode node =
        egraph::SymbolNode::filled(labels.get(t), static_cast<std::uint32_t>(term.children.size()),
                                   [&](std::uint32_t k) { return support::at_checked(ids, term.children[k]); });
    // Loading merges nothing, so the id add() returns is a root already; a
    // repeat's is an old class's, whose union-find entry would be a cache miss.
    ids.push_back(loaded.add(std::move(node)));
  }
  BRANTEL_CHECK(loaded.class_count() == loaded.id_count(), "loading the terms merged no classes");

  // Saturate.
  const double run_start = support::thread_cpu_seconds();
  summary.load_seconds = run_start - load_start;
  summary.node_limit = node_limit_for(n);
  egraph::Runner runner;
  runner.with_iter_limit(iter_limit_)
      .with_node_limit(summary.node_limit)
      .with_time_limit(kTimeLimit)
      .with_egraph(std::move(loaded));
  if (clock_) runner.with_clock(clock_, units_per_read_);
  runner.run(rules_);
  const egraph::EGraph& saturated = runner.egraph();
  summary.stop_reason = *runner.stop_reason();
  summary.iterations = runner.iterations().size();
  summary.total_size = saturated.total_size();
  summary.class_count = saturated.class_count();
  summary.search_seconds = summary.apply_seconds = summary.rebuild_seconds = 0;
  for (const egraph::Iteration& it : runner.iterations()) {
    summary.search_seconds += it.search_time;
    summary.apply_seconds += it.apply_time;
    summary.rebuild_seconds += it.rebuild_time;
  }
  const double read_start = support::thread_cpu_seconds();
  summary.run_seconds = read_start - run_start;

  // Read back, in one pass over the terms. Classes are numbered in the order of their
  // first input member, and walking the terms in order meets each class's first
  // member first; the class of every child is an earlier term's, so it is numbered
  // already. ids is turned into the final classes in place.
  for (Id& id : ids) id = saturated.find(id);
  // Output indices number classes, so they fit an Id.
  std::vector<Id> out_index;
  out_index.assign(saturated.id_count(), kUnset);
  auto output_of = [&](Id eclass) -> std::uint64_t {
    const Id out = out_index[eclass];
    if (out == kUnset) support::panic("no entry found for key");
    return out;
  };

  CanonicalTerms result;
  // A rule only adds a node into the class it matched, so every surviving class holds
  // an input term and the class count is the output size.
  result.terms.reserve(saturated.class_count());
  result.term_map.assign(n, std::uint64_t{0});
  for (std::size_t i = 0; i < n; ++i) {
    Id& slot = out_index[ids[i]];
    if (slot == kUnset) {
      const EngineTerm& term = graph.terms[i];
      EngineTerm& out = result.terms.emplace_back();
      out.label = term.label;
      out.children.reserve(term.children.size());
      for (const std::uint64_t c : term.children) out.children.push_back(output_of(ids[c]));
      out.is_opaque = is_opaque_label(out.label);
      slot = static_cast<Id>(result.terms.size() - 1);
    }
    result.term_map[i] = slot;
  }
  // Two representatives with one label and the same child classes would be one
  // canonical e-node in two classes, which a rebuilt e-graph never holds; labels
  // and symbols correspond one to one within a call. A rebuild the time limit cut
  // short may have left such a pair, which the pipeline's CSE then merges.
  result.distinct = saturated.clean();
  result.roots.reserve(graph.roots.size());
  for (const std::uint64_t r : graph.roots) result.roots.push_back(output_of(support::at_checked(ids, r)));
  summary.read_seconds = support::thread_cpu_seconds() - read_start;
  return result;
}

}  // namespace brantel::engine
