// RewriteEngine: the interface between the reduction pipeline and the
// equality-saturation machinery.
//
// What it computes: canonicalize() takes a topologically ordered list of terms (every
// child index of term i is below i) with the graph's roots, and returns one
// representative term per class of equal terms: the class's earliest input term,
// with its own label and its children renumbered through their classes. roots and
// term_map say where each input root and each input term landed.
//
// Example: terms [s, add0(s), mul(s, add0(s)), mul(add0(s), s)] with add0 the "+ 0.0"
// label and roots [2, 3] give terms [s, mul(0, 0)], roots [1, 1], term_map [0, 0, 1, 1].
//
// Non-goals: no cost-based extraction; terms the rules create (a commuted copy of
// an op) never appear in the output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/small_vec.h"

namespace brantel::engine {

// Almost every term of a pipeline has one or two children; keeping those inline
// spares a heap block per term on the way in and on the way out.
using TermChildren = support::SmallVec<std::uint64_t, 2>;

struct EngineTerm {
  std::string label;
  TermChildren children;
  // Ignored on input; on output true exactly when label does not start with "op|".
  bool is_opaque = false;
};

struct TermGraph {
  std::vector<EngineTerm> terms;
  std::vector<std::uint64_t> roots;
};

struct CanonicalTerms {
  std::vector<EngineTerm> terms;
  std::vector<std::uint64_t> roots;
  std::vector<std::uint64_t> term_map;
  // True when no two terms share their label and children, so that hash-consing
  // them again would merge nothing. An engine sets it only where that follows from
  // how it built the terms; the reduction then skips a table as large as the graph.
  bool distinct = false;
};

class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;
  virtual CanonicalTerms canonicalize(const TermGraph& graph) = 0;
};

}  // namespace brantel::engine
