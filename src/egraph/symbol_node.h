// Id and SymbolNode: the e-class identifier and the e-node, an operator Symbol
// applied to an ordered list of child e-classes.
//
// What it defines: value semantics (copy, equality, hashing, a total order) for
// e-nodes. Equality and hashing cover exactly the operator and the children; the order
// is by operator value, then by children lexicographically, a shorter list first when
// one is a prefix of the other. Two nodes "match" (have the same shape) when their
// operators and child counts agree, which is what pattern matching compares.
//
// Layout: 16 bytes. Up to two children live inline, which covers every op of a
// pipeline graph except n-ary joins; longer lists take one heap block of exactly
// their size, since an e-node's child count never changes after construction.
//
// Example: add(3, 1) < add(3, 1, 0) < mul(0) when Symbol add < Symbol mul.
//
// Non-goals: no per-node analysis data, no explanation ids.
#pragma once

#include <algorithm>
#include <compare>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>

#include "egraph/symbol.h"
#include "support/hash.h"

namespace brantel::egraph {

// Dense e-class / e-node identifier, handed out from 0 in creation order.
using Id = std::uint32_t;

class SymbolNode {
 public:
  static constexpr std::uint32_t kInlineChildren = 2;

  SymbolNode() noexcept : op_(), size_(0) {}
  SymbolNode(Symbol op, std::span<const Id> children) : op_(op) { assign(children); }
  SymbolNode(Symbol op, std::initializer_list<Id> children)
      : SymbolNode(op, std::span<const Id>(children.begin(), children.size())) {}
  // A node of the given arity whose k-th child is child(k), built in place.
  template <typename ChildAt>
  static SymbolNode filled(Symbol op, std::uint32_t arity, ChildAt&& child) {
    SymbolNode node;
    node.op_ = op;
    node.size_ = arity;
    if (!node.is_inline()) node.storage_.heap = std::allocator<Id>{}.allocate(arity);
    Id* out = node.data();
    for (std::uint32_t k = 0; k < arity; ++k) out[k] = child(k);
    return node;
  }

  SymbolNode(const SymbolNode& other) : op_(other.op_) { assign(other.children()); }
  SymbolNode(SymbolNode&& other) noexcept : op_(other.op_), size_(other.size_), storage_(other.storage_) {
    other.size_ = 0;
  }
  SymbolNode& operator=(const SymbolNode& other) {
    if (this != &other) {
      SymbolNode copy(other);
      *this = std::move(copy);
    }
    return *this;
  }
  SymbolNode& operator=(SymbolNode&& other) noexcept {
    if (this != &other) {
      release();
      op_ = other.op_;
      size_ = other.size_;
      storage_ = other.storage_;
      other.size_ = 0;
    }
    return *this;
  }
  ~SymbolNode() { release(); }

  Symbol op() const noexcept { return op_; }
  std::uint32_t arity() const noexcept { return size_; }
  std::span<const Id> children() const noexcept { return {data(), size_}; }
  std::span<Id> children_mut() noexcept { return {data(), size_}; }

  // Same operator and same child count.
  bool matches(const SymbolNode& other) const noexcept {
    return op_ == other.op_ && size_ == other.size_;
  }

  // Hash of exactly the fields operator== compares, in the same order.
  std::uint64_t hash(std::uint64_t seed) const noexcept { return hash_of(op_, children(), seed); }
  // The hash of the node (op, children) would be, for a caller holding the parts.
  static std::uint64_t hash_of(Symbol op, std::span<const Id> children, std::uint64_t seed) noexcept {
    const auto arity = static_cast<std::uint32_t>(children.size());
    std::uint64_t h = support::mix(seed ^ op.value(), support::kHashPrime0 ^ arity);
    for (Id c : children) h = support::mix(h ^ c, support::kHashPrime1);
    return h;
  }

  friend bool operator==(const SymbolNode& a, const SymbolNode& b) noexcept {
    if (!a.matches(b)) return false;
    // A plain loop: std::equal on ids becomes a call to memcmp, which for the
    // one or two children of nearly every node costs more than the comparison.
    const Id* x = a.data();
    const Id* y = b.data();
    for (std::uint32_t k = 0; k < a.size_; ++k) {
      if (x[k] != y[k]) return false;
    }
    return true;
  }
  friend std::strong_ordering operator<=>(const SymbolNode& a, const SymbolNode& b) noexcept {
    if (auto c = a.op_ <=> b.op_; c != 0) return c;
    return std::lexicographical_compare_three_way(a.data(), a.data() + a.size_, b.data(),
                                                  b.data() + b.size_);
  }

  // "op(1, 2)" with the operator's text; for test messages and diagnostics.
  std::string to_string() const;

 private:
  bool is_inline() const noexcept { return size_ <= kInlineChildren; }
  Id* data() noexcept { return is_inline() ? storage_.inline_ids : storage_.heap; }
  const Id* data() const noexcept { return is_inline() ? storage_.inline_ids : storage_.heap; }

  void assign(std::span<const Id> children) {
    size_ = static_cast<std::uint32_t>(children.size());
    if (!is_inline()) storage_.heap = std::allocator<Id>{}.allocate(size_);
    std::copy(children.begin(), children.end(), data());
  }
  void release() noexcept {
    if (!is_inline()) std::allocator<Id>{}.deallocate(storage_.heap, size_);
    size_ = 0;
  }

  Symbol op_;
  std::uint32_t size_;
  union Storage {
    Id inline_ids[kInlineChildren];
    Id* heap;
  } storage_{};
};

static_assert(sizeof(SymbolNode) == 16, "e-nodes are kept at 16 bytes");

}  // namespace brantel::egraph
