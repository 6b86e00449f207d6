// EGraph::check_invariants: an independent, slow re-derivation of everything a
// rebuild promises, for tests. It shares no bookkeeping with rebuild(): it re-checks
// the union-find, the node lists, the memo, congruence and the operator index from
// the raw tables, so a fault in the incremental repair shows up as a described
// violation rather than as a wrong match later.
//
// Checks, in order: the graph is clean with nothing queued; every class sits at its
// own root and the class count agrees; node lists are canonical, sorted and unique;
// the memo maps each class node into that class; no e-node occurs in two classes
// (with canonical nodes, that is the congruence closure); each added node is recorded
// among its children's parents; classes_with_op lists exactly the classes having
// that operator, once each.
//
// Non-goal: it does not check that the partition is the smallest congruence holding
// the unions made; the property tests compare against a naive closure for that.
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "egraph/egraph.h"

namespace brantel::egraph {

std::optional<std::string> EGraph::check_invariants() const {
  if (!clean_) return "e-graph is not clean";
  if (!pending_.empty() || !deferred_.empty() || !dirty_.empty() || first_new_id_ != uf_.size()) return "work is still queued after a rebuild";

  std::size_t counted = 0;
  std::vector<std::pair<SymbolNode, Id>> all_nodes;
  std::map<Symbol, std::set<Id>> expected_by_op;
  std::map<Symbol, std::uint64_t> nodes_by_op;
  for (Id slot = 0; slot < classes_.size(); ++slot) {
    const EClass& c = classes_[slot];
    if (!c.exists()) {
      if (uf_.is_root(slot)) return "root " + std::to_string(slot) + " has no class";
      continue;
    }
    ++counted;
    const std::string where = "class " + std::to_string(slot);
    if (c.id != slot || !uf_.is_root(slot)) return where + " is not at its own root";
    if (c.nodes.empty()) return where + " has no e-nodes";
    for (std::uint32_t k = 0; k < c.nodes.size(); ++k) {
      const SymbolNode& n = c.nodes[k];
      for (Id child : n.children()) {
        if (!uf_.is_root(child)) return where + " node " + n.to_string() + " is not canonical";
      }
      if (k > 0 && !(c.nodes[k - 1] < n)) return where + " nodes are not sorted and unique";
      const std::optional<Id> stored = memo_find(n);
      if (!stored) return where + " node " + n.to_string() + " is missing from the memo";
      if (uf_.find(*stored) != slot) {
        return where + " node " + n.to_string() + " is memoised into another class";
      }
      all_nodes.emplace_back(n, slot);
      expected_by_op[n.op()].insert(slot);
      ++nodes_by_op[n.op()];
      if (const auto listed = op_slots_.find(n.op()); listed != op_slots_.end()) {
        const std::uint32_t arity = op_entries_[listed->second].arity;
        if (arity != kMixedArity && arity != n.arity()) {
          return where + " node " + n.to_string() + " has an arity its operator index has not seen";
        }
      }
    }
  }
  if (counted != class_count_) return "class count disagrees with the classes present";

  std::sort(all_nodes.begin(), all_nodes.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t k = 1; k < all_nodes.size(); ++k) {
    if (all_nodes[k - 1].first == all_nodes[k].first) {
      return "congruent node " + all_nodes[k].first.to_string() + " is in classes " +
             std::to_string(all_nodes[k - 1].second) + " and " +
             std::to_string(all_nodes[k].second);
    }
  }

  for (Id p = 0; p < added_.size(); ++p) {
    for (Id child : added_[p].children()) {
      const EClass& c = classes_[uf_.find(child)];
      if (std::find(c.parents.begin(), c.parents.end(), p) == c.parents.end()) {
        return "node " + std::to_string(p) + " is not among the parents of its child " +
               std::to_string(child);
      }
    }
  }

  for (const auto& [op, slot] : op_slots_) {
    const auto& listed = op_entries_[slot].classes;
    const auto held = nodes_by_op.find(op);
    if (op_entries_[slot].nodes != (held == nodes_by_op.end() ? 0 : held->second)) {
      return "e-node count disagrees for " + std::string(op.text());
    }
    const std::set<Id> unique(listed.begin(), listed.end());
    if (unique.size() != listed.size()) return "operator index lists a class twice";
    const auto expected = expected_by_op.find(op);
    const std::set<Id> want = expected == expected_by_op.end() ? std::set<Id>{} : expected->second;
    if (unique != want) return "operator index disagrees for " + std::string(op.text());
  }
  for (const auto& [op, want] : expected_by_op) {
    if (is_indexed(op) && !op_slots_.contains(op)) return "operator index misses " + std::string(op.text());
  }
  return std::nullopt;
}

}  // namespace brantel::egraph
