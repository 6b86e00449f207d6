// UnionFind: the equality record of the e-graph, one parent Id per Id.
//
// What it computes: find(x) is the representative (root) of x's set. A root is its
// own parent. make_set() appends a fresh singleton; link(root, child_root) makes
// child_root point at root.
//
// Two finds: find() only reads and is what matching and lookups use on a clean
// e-graph; find_mut() also halves the path (each visited entry is pointed at its
// grandparent), which keeps chains short while the e-graph is being modified.
// Example: with parents 0<-1<-2<-3 (3 -> 2 -> 1 -> 0), find_mut(3) returns 0 and
// leaves 3 -> 1 and 1 -> 0 behind.
//
// Non-goals: no union by rank here; the e-graph chooses the surviving root itself.
#pragma once

#include <cstddef>
#include <vector>

#include "egraph/symbol_node.h"
#include "support/check.h"

namespace brantel::egraph {

class UnionFind {
 public:
  Id make_set() {
    const Id id = static_cast<Id>(parents_.size());
    BRANTEL_CHECK(parents_.size() < 0xFFFFFFFFu, "e-class ids fit in 32 bits");
    parents_.push_back(id);
    return id;
  }

  std::size_t size() const noexcept { return parents_.size(); }
  void reserve(std::size_t n) { parents_.reserve(n); }

  Id parent(Id x) const { return support::at_checked(parents_, x); }
  bool is_root(Id x) const { return parent(x) == x; }

  Id find(Id x) const {
    // Only the first index can be out of range: every stored parent is a valid id.
    Id p = parent(x);
    while (p != x) {
      x = p;
      p = parents_[x];
    }
    return x;
  }

  Id find_mut(Id x) {
    parent(x);
    while (parents_[x] != x) {
      const Id grandparent = parents_[parents_[x]];
      parents_[x] = grandparent;
      x = grandparent;
    }
    return x;
  }

  // Both must be roots; the caller has chosen which one survives.
  void link(Id root, Id child_root) { support::at_checked(parents_, child_root) = root; }

 private:
  std::vector<Id> parents_;
};

}  // namespace brantel::egraph
