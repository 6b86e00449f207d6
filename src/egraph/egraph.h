// EGraph: a hash-consed set of e-nodes partitioned into e-classes of equal terms,
// with the congruence invariant restored in a deferred rebuild.
//
// What it computes: after rebuild(), two e-nodes with the same operator and pairwise
// equal children are in one class (congruence closure), every class's e-nodes are
// canonical (each child is a root), sorted and unique, and the memo maps each of them
// to an id of its own class.
//
// Phases:
//   add      hash-conses one node; a new node gets a new class and is recorded as a
//            parent of each child class.
//   union    links two roots (the one with more parent entries survives; on a tie,
//            the first argument's) and queues the loser's parents. Nothing else is
//            repaired yet, so a batch of merges costs one repair pass.
//   rebuild  (1) pops pending entries last-in first-out, re-canonicalises each
//            node and re-inserts it into the memo; a collision with an entry of
//            another class means the two are congruent, so they are united, which
//            queues more parents. A node wider than kDeferArity is not repaired
//            per queued copy but waits until the stack is empty, so a wide parent
//            whose n children all merge costs O(n) rather than O(n) per merged
//            child. (2) re-canonicalises, sorts and de-duplicates the
//            node lists of the classes touched since the last rebuild, and refreshes
//            the per-operator class lists that matching reads.
//
// Worked example: add a, b, f(a), f(b) (ids 0..3); union(0, 1) makes 0 the root (both
// have one parent entry, so the first argument's root survives) and queues f(b)'s
// entry. rebuild() pops it, canonicalises f(b) to f(0), finds f(0) -> 2 in the memo and
// unites 2 with 3: it returns 1, and the class of 2 now holds the single node f(0).
//
// Representation notes:
// - classes live in a vector indexed by id; a slot whose class was merged away is
//   empty. Ids are dense, so this is the id -> class map without hashing.
// - a parent entry is the id whose add created the parent e-node. That node, exactly
//   as it was added, is kept once in added_node(id), so parent lists and the pending
//   queue are lists of 32-bit ids rather than copies of nodes.
// - a new node is not queued as pending. Its children are roots when it is added, so
//   re-canonicalising it could only matter after one of them lost a union; that union
//   queues the loser's parents, this node among them. Until then the node is its own
//   canonical form and its memo entry is already in place.
// - the memo is one support::HashTable of (node, id) entries, seeded per e-graph.
// - classes_with_op(op) lists the classes holding an e-node with operator op. Matching
//   reads it to visit only the classes a pattern's root operator can match; which
//   classes it lists is exact after every rebuild, and their order is not meaningful.
//   index_only() limits it to the operators a caller's patterns use.
//
// Non-goals: no per-class analysis data and no explanations (proof recording); the
// engine never needs either, so neither exists.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "egraph/symbol_node.h"
#include "egraph/union_find.h"
#include "egraph/work_budget.h"
#include "support/hash_table.h"
#include "support/small_vec.h"

namespace brantel::egraph {

inline constexpr Id kNoId = 0xFFFFFFFFu;

// Two e-nodes and two parents fit inline, which covers a commutative op and its
// swapped twin, and nearly every class's parents, without a heap block per class.
struct EClass {
  // The id the class was created under; a union-find root while the class exists.
  Id id = kNoId;
  // Canonical, sorted and unique after a rebuild; unordered in between.
  support::SmallVec<SymbolNode, 2> nodes;
  // Ids of e-nodes added with this class (or a class merged into it) as a child; the
  // node itself is EGraph::added_node(parent). May hold stale and repeated entries.
  support::SmallVec<Id, 2> parents;

  bool exists() const noexcept { return id != kNoId; }
};

class EGraph {
 public:
  EGraph();

  // Presizes for about n e-nodes loaded in order, with room for max_ids classes in
  // the arrays indexed by id (capacity that is never used is never paged in); purely
  // a speed hint.
  void reserve(std::size_t n, std::size_t max_ids);

  // Hash-consed insertion; returns the id stored for the canonical node, which the
  // caller resolves with find() if it needs the root.
  Id add(SymbolNode node);
  // The root of the class holding node (children canonicalised first), if any.
  std::optional<Id> lookup(SymbolNode node) const;
  // Merges the classes of a and b; false when they already were one class.
  bool union_classes(Id a, Id b);
  Id find(Id x) const { return uf_.find(x); }
  // Restores the invariants; returns the number of congruence unions it made.
  std::size_t rebuild() {
    WorkBudget unlimited;
    return rebuild(unlimited);
  }
  // The same, spending one unit per queued node, class and child it handles. When
  // the budget runs out it returns early: the unions made so far stand, the rest
  // stays queued for the next rebuild, and the e-graph is not clean.
  std::size_t rebuild(WorkBudget& budget);

  // The class of id (resolved to its root); panics "Invalid id {}" for a root without
  // a class.
  const EClass& operator[](Id id) const;

  bool clean() const noexcept { return clean_; }
  // Unions that changed the e-graph since the last rebuild; while it is 0, every
  // id that was a root at that rebuild still is.
  std::size_t merges_since_rebuild() const noexcept { return merges_since_rebuild_; }
  // Number of memo entries, stale ones included; the runner's node limit uses it.
  std::size_t total_size() const noexcept { return memo_.size(); }
  std::size_t class_count() const noexcept { return class_count_; }
  // Number of ids handed out so far (classes ever created).
  std::size_t id_count() const noexcept { return uf_.size(); }
  const SymbolNode& added_node(Id id) const { return support::at_checked(added_, id); }

  std::span<const Id> classes_with_op(Symbol op) const;
  // Whether op has appeared, and only with this arity, in every e-node listed so
  // far. Every e-node is listed at the rebuild after it was added, so on a clean
  // graph each class in classes_with_op(op) then holds an e-node of op and arity.
  bool op_has_only_arity(Symbol op, std::uint32_t arity) const;
  // How many e-nodes with indexed operator op the classes hold; exact on a clean
  // graph. A search for op may never need to run to learn that it would find
  // at least this many.
  std::size_t nodes_with_op(Symbol op) const;
  // Keeps classes_with_op lists for these operators only; asking for any other is an
  // internal error. A caller whose patterns name a few operators saves one list per
  // distinct operator of the graph (a graph of unique labels has one per node).
  // Must be called before the first add.
  void index_only(std::span<const Symbol> ops);

  // Visits the existing classes in id order.
  template <typename F>
  void for_each_class(F&& f) const {
    for (const EClass& c : classes_) {
      if (c.exists()) f(c);
    }
  }
  std::vector<Id> class_ids() const;

  // Debug check of every invariant that must hold after rebuild(): the first
  // violation found, described, or nothing. Costs O(n log n); for tests.
  std::optional<std::string> check_invariants() const;

 private:
  struct SymbolHash {
    std::size_t operator()(Symbol s) const noexcept {
      return static_cast<std::size_t>(support::mix(s.value(), support::kHashPrime0));
    }
  };
  struct MemoEntry {
    SymbolNode key;
    Id value = 0;
  };
  std::uint64_t memo_hash(const SymbolNode& node) const noexcept { return node.hash(memo_seed_); }
  static auto memo_key_is(const SymbolNode& node) {
    return [&node](const MemoEntry& e) { return e.key == node; };
  }
  std::optional<Id> memo_find(const SymbolNode& node) const;

  EClass& class_of_root(Id root);
  void touch(Id id) {
    if (id < first_new_id_) dirty_.push_back(id);
  }
  std::size_t process_pending(WorkBudget& budget);
  // Re-canonicalises the node added as id and re-inserts it into the memo; true
  // when that found a congruent node in another class and united the two.
  bool recanonicalise(Id id, WorkBudget& budget);
  std::size_t rebuild_classes(WorkBudget& budget);
  // The slot of op's list, created if new.
  std::uint32_t op_slot(Symbol op);
  // The slot of op's list (created if every operator is indexed), or kNoSlot
  // for an operator outside index_only().
  std::uint32_t slot_of(Symbol op);
  void mark_touched(std::uint32_t slot) {
    if (op_entries_[slot].touched_at != rebuild_epoch_) {
      op_entries_[slot].touched_at = rebuild_epoch_;
      touched_op_slots_.push_back(slot);
    }
  }
  void note_arity(std::uint32_t slot, std::uint32_t arity) {
    std::uint32_t& seen = op_entries_[slot].arity;
    if (seen != arity) seen = seen == kNoArity ? arity : kMixedArity;
  }
  void compact_op_list(std::vector<Id>& list);
  void repair_class(Id id, std::size_t& trimmed, WorkBudget& budget);
  // Adds root to the operator list of each indexed operator among cls's nodes.
  void list_class(Id root, const EClass& cls);
  // Adds root to op's list if op is indexed, noting the arity of its e-node;
  // returns op's slot, or kNoSlot.
  std::uint32_t list_op(Id root, Symbol op, std::uint32_t arity);
  // Counts an e-node that add() created, or one repair dropped as a duplicate.
  void count_node(std::uint32_t slot, std::int64_t change) {
    if (slot != kNoSlot) op_entries_[slot].nodes += static_cast<std::uint64_t>(change);
  }

  UnionFind uf_;
  std::vector<SymbolNode> added_;
  std::vector<Id> pending_;
  // Wide nodes popped from pending_ wait here, once each, until it is empty;
  // deferred_now_[id] says whether id is waiting. Nodes of at most kDeferArity
  // children cost little per queued copy and keep stack order.
  std::vector<Id> deferred_;
  std::vector<std::uint8_t> deferred_now_;
  static constexpr std::uint32_t kDeferArity = 16;
  std::uint64_t memo_seed_;
  // Keys are never removed: one that went stale when its children merged stays
  // until it is overwritten, and counts towards total_size().
  support::HashTable<MemoEntry> memo_;
  std::vector<EClass> classes_;
  std::size_t class_count_ = 0;
  std::size_t merges_since_rebuild_ = 0;
  bool clean_ = false;

  // Classes whose node lists may need repair at the next rebuild: every class created
  // since the last rebuild (ids from first_new_id_ on), plus the ids in dirty_ (union
  // survivors and the owners of re-canonicalised pending nodes).
  Id first_new_id_ = 0;
  std::vector<Id> dirty_;
  // rebuilt_at_[id] == rebuild_epoch_ once the class was repaired in this rebuild.
  std::vector<std::uint32_t> rebuilt_at_;
  std::uint32_t rebuild_epoch_ = 0;
  // One bit per id, set only while an operator list is being de-duplicated.
  std::vector<std::uint64_t> listed_bits_;

  bool is_indexed(Symbol op) const {
    return index_all_ || std::binary_search(indexed_ops_.begin(), indexed_ops_.end(), op);
  }

  // Every operator is indexed unless index_only() named the ones to keep.
  bool index_all_ = true;
  std::vector<Symbol> indexed_ops_;  // sorted
  std::unordered_map<Symbol, std::uint32_t, SymbolHash> op_slots_;
  static constexpr std::uint32_t kNoArity = 0xFFFFFFFF;
  static constexpr std::uint32_t kMixedArity = 0xFFFFFFFE;
  // What the index keeps per indexed operator, at the operator's slot.
  struct OpEntry {
    std::vector<Id> classes;  // classes_with_op
    std::uint32_t touched_at = 0;  // the rebuild epoch that last listed a class
    // The one arity its listed e-nodes had, or kNoArity or kMixedArity.
    std::uint32_t arity = kNoArity;
    // nodes_with_op: counted at the rebuild after add() and lowered at the
    // de-duplication of a repaired class.
    std::uint64_t nodes = 0;
  };
  std::vector<OpEntry> op_entries_;
  std::vector<std::uint32_t> touched_op_slots_;
  static constexpr std::uint32_t kNoSlot = 0xFFFFFFFF;
};

}  // namespace brantel::egraph
