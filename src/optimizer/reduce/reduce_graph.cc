// The reduction pipeline: dead-code elimination, canonicalisation through the
// rewrite engine, common-subexpression elimination, stage fusion and the node
// map of where every input node landed.
//
// Phases, each one linear pass over flat vectors (nothing recurses, so a chain
// of a million ops costs no call-stack depth):
//   1. Reachability. Inputs always name earlier nodes, so one sweep from the last
//      node down flags everything the outputs reach: when node i is visited,
//      every node that can reach it has been visited already. This visits the
//      same set as a depth-first walk from the outputs.
//   2. Compaction. Flagged nodes keep their relative order; remap[i] is node i's
//      compacted position (all bits set for dropped nodes), and each survivor
//      becomes one engine term: its term label, its inputs as compacted
//      positions, opaque unless it is an Op.
//   3. Templates. The first node with a given opaque term label is the template
//      its boundary node is rebuilt from. Term labels (term_label.h) are
//      node_label except for External and Stage nodes, whose node labels can be
//      equal for different nodes; their key is injective, so neither the engine
//      nor the template table can confuse two such nodes.
//   4. One engine call, also with no terms.
//   5. CSE: hash-cons the returned terms on (label, canonical children), unless
//      the engine vouches that no two share both.
//   6. Fusion (fuse_stages.h).
//   7. Node map: input i lands where canonical term canon[term_map[remap[i]]]
//      was placed.
//
// Example: 0 src|a; 1 op|f [0]; 2 op|g [1]; 3 op|h [0]; 4 red|sum [2]; outputs
// [4]. h is dead; compacted a, f, g, sum with remap [0, 1, 2, -, 3]. With no
// rewrite applying, fusion gives 0 src|a, 1 Stage{f, g} on [0], 2 red|sum on [1];
// outputs [2]; node map (0,-), (1,0), (1,1), -, (2,-); counts 5, 4, 4, 1, 3, 2.
//
// Not done here: the output ids are not validated (callers check them against
// the arena first; a bad one is an internal error), and nothing is interned into
// a store (build_reduced_store does that).
#include "optimizer/reduce/reduce_graph.h"

#include <string>

#include "optimizer/reduce/fuse_stages.h"
#include "optimizer/reduce/template_table.h"
#include "optimizer/reduce/term_label.h"
#include "support/check.h"
#include "support/hash.h"
#include "support/hash_table.h"

namespace brantel::reduce {

namespace {

constexpr std::uint64_t kDropped = ~std::uint64_t{0};

bool is_op_label(std::string_view label) { return label.starts_with("op|"); }

// Steps 1 and 2: the reachable flags' sweep, then the compacted terms and the
// templates of the opaque ones.
struct Compacted {
  std::vector<std::uint64_t> remap;
  engine::TermGraph graph;
};

Compacted compact(const store::NodeList& nodes, std::span<const std::uint64_t> outputs,
                  TemplateTable& templates) {
  const std::size_t n = nodes.size();
  std::vector<std::uint8_t> reachable(n, 0);
  for (const std::uint64_t o : outputs) support::at_checked(reachable, o) = 1;
  std::size_t survivors = 0;
  for (std::size_t i = n; i-- > 0;) {
    if (!reachable[i]) continue;
    ++survivors;
    const store::IdsView in = nodes.view(i).inputs();
    for (std::uint32_t k = 0; k < in.size(); ++k) {
      BRANTEL_CHECK(in[k] < i, "node inputs refer to earlier nodes");
      reachable[in[k]] = 1;
    }
  }

  Compacted c;
  c.remap.assign(n, kDropped);
  // Reserved exactly: the list is built in place and never reallocates.
  c.graph.terms.reserve(survivors);
  for (std::size_t i = 0; i < n; ++i) {
    if (!reachable[i]) continue;
    c.remap[i] = c.graph.terms.size();
    const store::NodeView view = nodes.view(i);
    engine::EngineTerm& term = c.graph.terms.emplace_back();
    append_term_label(view, term.label);
    const store::IdsView in = view.inputs();
    term.children.reserve(static_cast<std::uint32_t>(in.size()));
    for (std::uint32_t k = 0; k < in.size(); ++k) term.children.push_back(c.remap[in[k]]);
    term.is_opaque = view.kind() != store::NodeKind::kOp;
    // Op terms become stage members built from their labels; only opaque terms
    // are ever rebuilt from a template.
    if (term.is_opaque) templates.insert_if_absent(term.label, view.record());
  }
  c.graph.roots.reserve(outputs.size());
  for (const std::uint64_t o : outputs) c.graph.roots.push_back(c.remap[o]);
  return c;
}

// What reduce_graph relies on in the engine's term t, wherever it comes from.
void check_term(const engine::EngineTerm& term, std::size_t t) {
  BRANTEL_CHECK(term.is_opaque == !is_op_label(term.label),
                "an engine term is opaque exactly when its label is not an op label");
  for (const std::uint64_t c : term.children) BRANTEL_CHECK(c < t, "engine terms refer only to earlier terms");
}

// Hash and equality of a canonical term's CSE key: its label and its children.
std::uint64_t cse_hash(const engine::EngineTerm& term, std::uint64_t seed) {
  support::HashState h(seed);
  h.add_bytes(term.label).add_u64(term.children.size());
  for (const std::uint64_t c : term.children) h.add_u64(c);
  return h.finish();
}

bool same_cse_key(const engine::EngineTerm& a, const engine::EngineTerm& b) {
  return a.children == b.children && a.label == b.label;
}

// Step 5, in place: the canonical terms end up as a prefix of `terms` (moving a
// term down never overwrites one still to be read), so no second term list is
// allocated. `canon` receives, for every returned term, its canonical index.
// Terms the engine returned `distinct` are canonical as they stand: only the
// checks run and no index is built.
void hash_cons(std::vector<engine::EngineTerm>& terms, bool distinct, std::vector<std::uint64_t>& canon) {
  const std::size_t n = terms.size();
  canon.assign(n, std::uint64_t{0});
  if (distinct) {
    for (std::size_t t = 0; t < n; ++t) {
      check_term(terms[t], t);
      canon[t] = t;
    }
    return;
  }
  // Entries are indices of kept terms; 32 bits, since four billion terms cannot fit in memory.
  BRANTEL_CHECK(n < 0xffffffffULL, "term count fits the reduction's tables");
  support::HashTable<std::uint32_t> index(n);
  const std::uint64_t seed = support::random_seed();
  std::uint32_t kept = 0;
  for (std::size_t t = 0; t < n; ++t) {
    engine::EngineTerm& term = terms[t];
    // Checked before use: canon holds only the terms before t.
    check_term(term, t);
    for (std::uint64_t& c : term.children) c = canon[c];
    const auto [k, inserted] = index.find_or_insert(
        cse_hash(term, seed), [&](std::uint32_t j) { return same_cse_key(terms[j], term); }, [&] { return kept; });
    canon[t] = k;
    if (!inserted) continue;
    if (kept != t) terms[kept] = std::move(term);
    ++kept;
  }
  terms.resize(kept);
}

}  // namespace

ReductionResult reduce_graph(const store::NodeList& nodes, std::span<const std::uint64_t> outputs,
                             engine::RewriteEngine& engine, bool maximal_fusion) {
  ReductionResult result;
  result.counts.input_nodes = nodes.size();

  TemplateTable templates;
  Compacted compacted = compact(nodes, outputs, templates);
  const std::size_t term_count = compacted.graph.terms.size();
  result.counts.reachable_nodes = term_count;

  engine::CanonicalTerms returned = engine.canonicalize(compacted.graph);
  // The templates own their keys, so the input terms can go before fusion runs.
  compacted.graph = engine::TermGraph{};
  BRANTEL_CHECK(returned.term_map.size() == term_count, "the engine maps every input term");
  BRANTEL_CHECK(returned.roots.size() == outputs.size(), "the engine keeps every root");

  std::vector<std::uint64_t> canon;
  std::vector<engine::EngineTerm>& terms = returned.terms;
  hash_cons(terms, returned.distinct, canon);
  result.counts.canonical_nodes = terms.size();
  std::vector<std::uint64_t> roots;
  roots.reserve(returned.roots.size());
  for (const std::uint64_t r : returned.roots) roots.push_back(support::at_checked(canon, r));

  FusionResult fused = fuse_stages(terms, roots, templates, maximal_fusion);
  result.counts.stages = fused.stages;
  result.counts.boundary_nodes = fused.boundary_nodes;
  result.counts.reduced_nodes = fused.nodes.size();

  result.node_map.reserve(nodes.size());
  for (const std::uint64_t j : compacted.remap) {
    if (j == kDropped) {
      result.node_map.emplace_back(std::nullopt);
      continue;
    }
    const std::uint64_t t = support::at_checked(canon, returned.term_map[j]);
    result.node_map.emplace_back(fused.placements[t]);
  }
  result.nodes = std::move(fused.nodes);
  result.outputs = std::move(fused.outputs);
  return result;
}

}  // namespace brantel::reduce
