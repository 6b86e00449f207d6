// Subst and SearchMatches: what a pattern search reports.
//
// A Subst binds each pattern variable to a canonical class id; a SearchMatches is
// one matched class with the (non-empty) list of substitutions found in it, in the
// order the matcher produced them. Duplicates are kept: two e-nodes of one class can
// yield the same bindings.
//
// Example: searching (op|add ?a ?b) in a class holding add(x, y) and add(y, x) gives
// one SearchMatches with {?a: x, ?b: y} and {?a: y, ?b: x}.
//
// Non-goals: no map semantics beyond lookup by variable; patterns have few variables,
// so a linear scan of an inline list beats hashing.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "egraph/pattern_ast.h"
#include "support/small_vec.h"
#include "support/check.h"

namespace brantel::egraph {

class Subst {
 public:
  Subst() = default;
  // n bindings, the k-th make(k): a (Var, Id) pair.
  template <typename Make>
  Subst(std::uint32_t n, Make&& make) : bindings_(n, std::forward<Make>(make)) {}

  void insert(Var var, Id id) { bindings_.emplace_back(var, id); }

  std::optional<Id> get(Var var) const {
    if (const Id* id = binding(var)) return *id;
    return std::nullopt;
  }
  // Every variable the applier uses is bound by the searcher (Rewrite checks this),
  // so a miss is a bug.
  Id operator[](Var var) const {
    if (const Id* id = binding(var)) return *id;
    support::panic("no binding for pattern variable " + std::string(var.text()));
  }

  std::uint32_t size() const noexcept { return bindings_.size(); }
  const std::pair<Var, Id>* begin() const noexcept { return bindings_.begin(); }
  const std::pair<Var, Id>* end() const noexcept { return bindings_.end(); }

  // Equality is over the bindings; the note below is a search-time hint.
  friend bool operator==(const Subst& a, const Subst& b) { return a.bindings_ == b.bindings_; }

  // Set by a rule's search when its applier, instantiated with these bindings, was
  // already an e-node of the matched class: applying it then changes nothing as
  // long as no binding has lost a union since (see Pattern::apply_matches).
  bool instantiation_present = false;

 private:
  const Id* binding(Var var) const {
    for (const auto& [v, id] : bindings_) {
      if (v == var) return &id;
    }
    return nullptr;
  }

  // Every engine rule binds one or two variables; wider patterns spill to the heap.
  support::SmallVec<std::pair<Var, Id>, 2> bindings_;
};

struct SearchMatches {
  Id eclass = 0;
  // Two inline: a class holding both orientations of a commutative e-node yields
  // two substitutions, and a million of those would otherwise be a million mallocs.
  support::SmallVec<Subst, 2> substs;
};

}  // namespace brantel::egraph
