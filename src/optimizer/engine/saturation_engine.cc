#include "optimizer/engine/saturation_engine.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "egraph/egraph.h"
#include "egraph/huge_page_allocator.h"
#include "egraph/symbol.h"
#include "optimizer/engine/rule_set.h"
#include "support/check.h"
#include "support/cpu_time.h"
#include "support/hash.h"
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
// A slot names the first term with its label instead of holding a view of the
// text: 16 bytes, which matters when nearly every label is distinct (a million
// ops with their own constants) and the table is as large as the graph.
class LabelCache {
 public:
  LabelCache(const std::vector<std::string_view>& rule_ops, std::span<const EngineTerm> terms)
      : rule_ops_(rule_ops), terms_(terms) {}

  // The hash get() takes for terms[t]'s label. Its slot starts loading now: when
  // nearly every label is distinct the table is as large as the graph, and a
  // probe that waited for it would miss the cache once per term.
  std::uint64_t start(std::size_t t) const {
    const std::string_view label = terms_[t].label;
    const std::uint64_t hash = support::hash_bytes(label.data(), label.size(), kSeed);
    if (mask_ >= kPrefetchFromSlots) __builtin_prefetch(&slots_[static_cast<std::size_t>(hash) & mask_]);
    return hash;
  }

  // The symbol of terms[t]'s label, whose hash start(t) returned.
  egraph::Symbol get(std::size_t t, std::uint64_t hash) {
    const std::string_view label = terms_[t].label;
    std::size_t i = static_cast<std::size_t>(hash) & mask_;
    while (slots_[i].term != kEmpty) {
      if (slots_[i].hash == hash && terms_[slots_[i].term].label == label) return slots_[i].symbol;
      i = (i + 1) & mask_;
    }
    BRANTEL_CHECK(t < kEmpty, "term indices fit in 32 bits");
    const egraph::Symbol symbol = symbol_for_new(label);
    slots_[i] = Slot{hash, static_cast<std::uint32_t>(t), symbol};
    if (++used_ * 2 > slots_.size()) grow();
    return symbol;
  }

 private:
  static constexpr std::uint64_t kSeed = 0x1abe'15ca'c4e0'0001ULL;
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
  // A table of a few hundred labels, the usual case, stays in cache by itself.
  static constexpr std::size_t kPrefetchFromSlots = std::size_t{1} << 14;
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t term = kEmpty;
    egraph::Symbol symbol;
  };
  static_assert(sizeof(Slot) == 16);

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

  void grow() {
    SlotVector old = std::exchange(slots_, SlotVector(slots_.size() * 2));
    mask_ = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.term == kEmpty) continue;
      std::size_t i = static_cast<std::size_t>(s.hash) & mask_;
      while (slots_[i].term != kEmpty) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  const std::vector<std::string_view>& rule_ops_;
  std::span<const EngineTerm> terms_;
  std::vector<egraph::Symbol> stand_ins_;
  std::size_t stand_ins_used_ = 0;
  // As large as the graph when nearly every label is distinct, and probed at
  // random: on huge pages, as the e-graph's own tables are.
  using SlotVector = std::vector<Slot, egraph::HugePageAllocator<Slot>>;
  SlotVector slots_ = SlotVector(256);
  std::size_t mask_ = 255;
  std::size_t used_ = 0;
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
  // An add reads each child's class (to record the parent). Most children are recent
  // terms, still in cache; the far ones (fan-out) miss, and those are exactly the
  // ones already loaded kAhead terms early, so their classes are started then,
  // after their entries of ids were started kAhead terms before that. A term whose
  // children are all loaded kAhead terms early (a repeat, a commuted twin, a source)
  // mostly probes an old memo segment, long out of cache: its slot is started then
  // too, which needs its operator kAhead terms early, so labels are resolved that
  // far ahead (still in term order, which fixes the stand-ins they take).
  // A label's slot in the cache is started kAhead terms before that.
  constexpr std::size_t kAhead = 8;
  constexpr std::size_t kRing = 32;
  static_assert(kRing > 2 * kAhead && (kRing & (kRing - 1)) == 0);
  std::array<egraph::Symbol, kRing> ops{};
  std::array<std::uint64_t, kRing> label_hashes{};
  for (std::size_t t = 0; t < std::min(n, 2 * kAhead); ++t) label_hashes[t % kRing] = labels.start(t);
  for (std::size_t t = 0; t < std::min(n, kAhead); ++t) ops[t % kRing] = labels.get(t, label_hashes[t % kRing]);
  for (std::size_t t = 0; t < n; ++t) {
    if (t + 2 * kAhead < n) {
      label_hashes[(t + 2 * kAhead) % kRing] = labels.start(t + 2 * kAhead);
      for (const std::uint64_t c : graph.terms[t + 2 * kAhead].children) {
        if (c < ids.size()) __builtin_prefetch(ids.data() + c);
      }
    }
    if (t + kAhead < n) {
      const std::size_t ahead = t + kAhead;
      const egraph::Symbol op = labels.get(ahead, label_hashes[ahead % kRing]);
      ops[ahead % kRing] = op;
      const TermChildren& children = graph.terms[ahead].children;
      bool all_loaded = children.size() <= egraph::SymbolNode::kInlineChildren;
      for (const std::uint64_t c : children) {
        if (c < ids.size()) {
          loaded.prefetch_class(ids[c]);
        } else {
          all_loaded = false;
        }
      }
      if (all_loaded) {
        // From the parts: a node built on the stack for this was written and read
        // back in pieces the processor could not forward.
        std::array<Id, egraph::SymbolNode::kInlineChildren> probe{};
        for (std::size_t k = 0; k < children.size(); ++k) probe[k] = ids[children[k]];
        loaded.prefetch_memo_slot(op, std::span<const Id>(probe.data(), children.size()));
      }
    }
    // Every new term probes the memo at a random slot of the newest segment; the
    // next segment is fetched meanwhile, a line per term.
    loaded.prefetch_memo_ahead();
    const EngineTerm& term = graph.terms[t];
    // Children go straight into the node: no per-term temporary list.
    egraph::SymbolNode node =
        egraph::SymbolNode::filled(ops[t % kRing], static_cast<std::uint32_t>(term.children.size()),
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
  const std::vector<Id>& canon = ids;
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
  // A merged class's root lies anywhere in out_index: started a few terms early
  // from canon, which is read in order anyway.
  constexpr std::size_t kReadAhead = 8;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kReadAhead < n) __builtin_prefetch(&out_index[canon[i + kReadAhead]]);
    Id& slot = out_index[canon[i]];
    if (slot == kUnset) {
      const EngineTerm& term = graph.terms[i];
      EngineTerm& out = result.terms.emplace_back();
      out.label = term.label;
      out.children.reserve(term.children.size());
      for (const std::uint64_t c : term.children) out.children.push_back(output_of(canon[c]));
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
  for (const std::uint64_t r : graph.roots) result.roots.push_back(output_of(support::at_checked(canon, r)));
  summary.read_seconds = support::thread_cpu_seconds() - read_start;
  return result;
}

}  // namespace brantel::engine
