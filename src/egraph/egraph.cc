// EGraph's add, union and rebuild. Phases, a worked example and the representation
// are described in egraph.h.
#include "egraph/egraph.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "egraph/diagnostic_log.h"
#include "support/check.h"
#include "support/hash.h"

namespace brantel::egraph {

EGraph::EGraph() : memo_seed_(support::random_seed()) {}

void EGraph::reserve(std::size_t n, std::size_t max_ids) {
  max_ids = std::max(n, max_ids);
  uf_.reserve(max_ids);
  added_.reserve(max_ids);
  classes_.reserve(max_ids);
  rebuilt_at_.reserve(max_ids);
  deferred_now_.reserve(max_ids);
  memo_.reserve(n);
}

std::optional<Id> EGraph::memo_find(const SymbolNode& node) const {
  const MemoEntry* entry = memo_.find(memo_hash(node), memo_key_is(node));
  if (entry == nullptr) return std::nullopt;
  return entry->value;
}

EClass& EGraph::class_of_root(Id root) {
  if (root >= classes_.size() || !classes_[root].exists()) [[unlikely]] {
    support::panic("no entry found for key");
  }
  return classes_[root];
}

const EClass& EGraph::operator[](Id id) const {
  const Id root = uf_.find(id);
  const EClass& c = classes_[root];
  if (!c.exists()) support::panic("Invalid id " + std::to_string(id));
  return c;
}

Id EGraph::add(SymbolNode node) {
  for (Id& c : node.children_mut()) c = uf_.find(c);
  const Id fresh = static_cast<Id>(uf_.size());
  const auto [entry, inserted] = memo_.find_or_insert(
      memo_hash(node), memo_key_is(node), [&] { return MemoEntry{node, fresh}; });
  if (!inserted) return entry.value;

  const Id id = uf_.make_set();
  BRANTEL_CHECK(id == fresh, "a new class takes the next id");
  for (Id c : node.children()) class_of_root(c).parents.push_back(id);
  EClass& cls = classes_.emplace_back();
  cls.id = id;
  cls.nodes.push_back(node);
  rebuilt_at_.push_back(0);
  deferred_now_.push_back(0);
  added_.push_back(std::move(node));
  ++class_count_;
  clean_ = false;
  return id;
}

std::optional<Id> EGraph::lookup(SymbolNode node) const {
  for (Id& c : node.children_mut()) c = uf_.find(c);
  if (const std::optional<Id> stored = memo_find(node)) return uf_.find(*stored);
  return std::nullopt;
}

bool EGraph::union_classes(Id a, Id b) {
  clean_ = false;
  Id root1 = uf_.find_mut(a);
  Id root2 = uf_.find_mut(b);
  if (root1 == root2) return false;
  if (class_of_root(root1).parents.size() < class_of_root(root2).parents.size()) {
    std::swap(root1, root2);
  }
  uf_.link(root1, root2);
  ++merges_since_rebuild_;

  EClass loser = std::move(classes_[root2]);
  classes_[root2].id = kNoId;
  --class_count_;
  EClass& winner = class_of_root(root1);
  BRANTEL_CHECK(winner.id == root1, "the surviving class carries the surviving id");

  pending_.insert(pending_.end(), loser.parents.begin(), loser.parents.end());
  // Extend the longer list; the order inside these lists carries no meaning.
  if (winner.nodes.size() < loser.nodes.size()) std::swap(winner.nodes, loser.nodes);
  winner.nodes.append_from(std::move(loser.nodes));
  if (winner.parents.size() < loser.parents.size()) std::swap(winner.parents, loser.parents);
  winner.parents.append_from(std::move(loser.parents));
  touch(root1);
  return true;
}

std::size_t EGraph::rebuild(WorkBudget& budget) {
  if (pending_.empty() && deferred_.empty() && dirty_.empty() && first_new_id_ == uf_.size()) {
    // Nothing was added or merged since the last rebuild: every invariant still holds.
    clean_ = true;
    merges_since_rebuild_ = 0;
    return 0;
  }
  const std::size_t old_size = total_size();
  const std::size_t old_classes = class_count();
  const auto started = std::chrono::steady_clock::now();

  const std::size_t unions = process_pending(budget);
  // Cut short, the e-graph keeps its unions (each one sound) and the work still
  // queued; the next rebuild takes it up where this one stopped.
  if (budget.exhausted()) return unions;
  const std::size_t trimmed = rebuild_classes(budget);
  if (budget.exhausted()) return unions;
  clean_ = true;
  merges_since_rebuild_ = 0;

  diag::offer([&] {
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    return "REBUILT! in " + std::to_string(took.count()) + "s\n  Old: hc size " +
           std::to_string(old_size) + ", eclasses: " + std::to_string(old_classes) +
           "\n  New: hc size " + std::to_string(total_size()) +
           ", eclasses: " + std::to_string(class_count()) + "\n  unions: " +
           std::to_string(unions) + ", trimmed nodes: " + std::to_string(trimmed);
  });
  return unions;
}

std::size_t EGraph::process_pending(WorkBudget& budget) {
  std::size_t unions = 0;
  while (!budget.spend(1)) {
    Id id = 0;
    if (!pending_.empty()) {
      id = pending_.back();
      pending_.pop_back();
      // A wide node is queued once per child that loses a union, and each copy
      // would re-canonicalise all its children: it waits until the stack is empty
      // and is then repaired once against the children's final roots. Copies
      // popped while it waits have nothing to add.
      if (added_[id].arity() > kDeferArity) {
        if (deferred_now_[id] == 0) deferred_.push_back(id);
        deferred_now_[id] = 1;
        continue;
      }
    } else if (!deferred_.empty()) {
      id = deferred_.back();
      deferred_.pop_back();
      deferred_now_[id] = 0;
    } else {
      break;
    }
    if (recanonicalise(id, budget)) ++unions;
  }
  return unions;
}

bool EGraph::recanonicalise(Id id, WorkBudget& budget) {
  const SymbolNode& added = added_[id];
  budget.spend(added.arity());
  const bool all_roots = std::all_of(added.children().begin(), added.children().end(),
                                     [&](Id c) { return uf_.is_root(c); });
  // A node whose children are all still roots is its own canonical form. That key
  // went into the memo when the node was added, and every later overwrite of a key
  // united the old and new ids, so the stored id is already in this node's class:
  // re-inserting it could only perform a union that returns false.
  if (all_roots) return false;

  SymbolNode node = added;
  for (Id& c : node.children_mut()) c = uf_.find_mut(c);
  touch(id);
  const auto [entry, inserted] =
      memo_.find_or_insert(memo_hash(node), memo_key_is(node), [&] { return MemoEntry{std::move(node), id}; });
  if (inserted) return false;
  return union_classes(std::exchange(entry.value, id), id);
}

std::uint32_t EGraph::op_slot(Symbol op) {
  const auto [it, inserted] = op_slots_.try_emplace(op, static_cast<std::uint32_t>(op_entries_.size()));
  if (inserted) op_entries_.emplace_back();
  return it->second;
}

void EGraph::repair_class(Id id, std::size_t& trimmed, WorkBudget& budget) {
  const Id root = uf_.find_mut(id);
  if (rebuilt_at_[root] == rebuild_epoch_) return;
  rebuilt_at_[root] = rebuild_epoch_;
  EClass& cls = class_of_root(root);
  for (SymbolNode& n : cls.nodes) {
    budget.spend(1 + n.arity());
    for (Id& c : n.children_mut()) c = uf_.find_mut(c);
  }
  if (cls.nodes.size() > 1) {
    std::sort(cls.nodes.begin(), cls.nodes.end());
    // std::unique, counting what it drops: a duplicate has its twin's operator.
    std::uint32_t kept = 1;
    for (std::uint32_t k = 1; k < cls.nodes.size(); ++k) {
      if (cls.nodes[k] == cls.nodes[kept - 1]) {
        count_node(slot_of(cls.nodes[k].op()), -1);
        continue;
      }
      if (k != kept) cls.nodes[kept] = std::move(cls.nodes[k]);
      ++kept;
    }
    trimmed += cls.nodes.size() - kept;
    cls.nodes.truncate(kept);
  }
  list_class(root, cls);
}

void EGraph::list_class(Id root, const EClass& cls) {
  // Sorted by operator, so each operator's nodes form one run: the class is listed
  // once per run, and every arity in the run is noted.
  const SymbolNode* run = nullptr;
  for (const SymbolNode& n : cls.nodes) {
    if (run != nullptr && n.op() == run->op()) {
      if (n.arity() != run->arity()) {
        if (const std::uint32_t slot = slot_of(n.op()); slot != kNoSlot) note_arity(slot, n.arity());
      }
      continue;
    }
    run = &n;
    list_op(root, n.op(), n.arity());
  }
}

std::uint32_t EGraph::list_op(Id root, Symbol op, std::uint32_t arity) {
  const std::uint32_t slot = slot_of(op);
  if (slot == kNoSlot) return kNoSlot;
  mark_touched(slot);
  note_arity(slot, arity);
  op_entries_[slot].classes.push_back(root);
  return slot;
}

std::uint32_t EGraph::slot_of(Symbol op) {
  if (index_all_) return op_slot(op);
  const auto at = std::lower_bound(indexed_ops_.begin(), indexed_ops_.end(), op);
  if (at == indexed_ops_.end() || *at != op) return kNoSlot;
  return static_cast<std::uint32_t>(at - indexed_ops_.begin());
}

std::size_t EGraph::rebuild_classes(WorkBudget& budget) {
  ++rebuild_epoch_;
  touched_op_slots_.clear();
  std::size_t trimmed = 0;
  const auto created = static_cast<Id>(uf_.size());
  // Each loop stops where the budget ran out and leaves the rest queued: new
  // classes from first_new_id_ on, and the dirty ids not yet repaired.
  Id id = first_new_id_;
  if (merges_since_rebuild_ == 0) {
    // No class lost a union since the last rebuild, so each class created since
    // holds just the node it was added with, whose children were roots then and
    // still are: canonical and sorted as it stands. Only the operator lists need
    // it, and they need only its operator, read from the 16-byte added node rather
    // than the 64-byte record. Nothing else is repaired, so no class is stamped.
    // (The rebuild after loading a graph is this case for every class.)
    for (; id < created && !budget.spend(1); ++id) {
      const SymbolNode& added = added_[id];
      count_node(list_op(id, added.op(), added.arity()), 1);
    }
  } else {
    // A new class that lost a union is repaired through its survivor: every union
    // puts its survivor in dirty_ when it is older, and a newer one is a root this
    // loop reaches. Repairing it from here instead cost a jump to that survivor
    // per merged class.
    for (; id < created && !budget.spend(1); ++id) {
      count_node(slot_of(added_[id].op()), 1);
      if (uf_.is_root(id)) repair_class(id, trimmed, budget);
    }
  }
  first_new_id_ = id;
  std::size_t k = 0;
  for (; !budget.exhausted() && k < dirty_.size() && !budget.spend(1); ++k) {
    repair_class(dirty_[k], trimmed, budget);
  }
  dirty_.erase(dirty_.begin(), dirty_.begin() + static_cast<std::ptrdiff_t>(k));
  // Every list that may hold a merged-away class or a repeat was touched above: a
  // loser's operators all reach its survivor, which was repaired (once the
  // rebuild completes; searches wait for that).
  listed_bits_.resize((created + 63) / 64, 0);
  for (const std::uint32_t slot : touched_op_slots_) compact_op_list(op_entries_[slot].classes);
  return trimmed;
}

void EGraph::compact_op_list(std::vector<Id>& list) {
  std::size_t kept = 0;
  for (const Id id : list) {
    std::uint64_t& word = listed_bits_[id / 64];
    const std::uint64_t bit = std::uint64_t{1} << (id % 64);
    if (!uf_.is_root(id) || (word & bit) != 0) continue;
    word |= bit;
    list[kept++] = id;
  }
  list.resize(kept);
  for (const Id id : list) listed_bits_[id / 64] = 0;
}

void EGraph::index_only(std::span<const Symbol> ops) {
  BRANTEL_CHECK(uf_.size() == 0, "the operator index is chosen before the first add");
  index_all_ = false;
  indexed_ops_.assign(ops.begin(), ops.end());
  std::sort(indexed_ops_.begin(), indexed_ops_.end());
  indexed_ops_.erase(std::unique(indexed_ops_.begin(), indexed_ops_.end()), indexed_ops_.end());
  // Every indexed operator gets its slot now, the k-th in sorted order slot k, so
  // that listing finds a slot by the same binary search that tells it the
  // operator is indexed, rather than in op_slots_ as well.
  for (const Symbol op : indexed_ops_) op_slot(op);
}

std::span<const Id> EGraph::classes_with_op(Symbol op) const {
  // An unindexed operator has no list, which must not read as "no class has it".
  BRANTEL_CHECK(is_indexed(op), "classes_with_op asks for an operator outside index_only()");
  const auto it = op_slots_.find(op);
  if (it == op_slots_.end()) return {};
  return op_entries_[it->second].classes;
}

std::size_t EGraph::nodes_with_op(Symbol op) const {
  BRANTEL_CHECK(is_indexed(op), "nodes_with_op asks for an operator outside index_only()");
  const auto it = op_slots_.find(op);
  return it == op_slots_.end() ? 0 : op_entries_[it->second].nodes;
}

bool EGraph::op_has_only_arity(Symbol op, std::uint32_t arity) const {
  const auto it = op_slots_.find(op);
  return it != op_slots_.end() && op_entries_[it->second].arity == arity;
}

std::vector<Id> EGraph::class_ids() const {
  std::vector<Id> ids;
  ids.reserve(class_count_);
  for_each_class([&](const EClass& c) { ids.push_back(c.id); });
  return ids;
}

}  // namespace brantel::egraph
