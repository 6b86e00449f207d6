// CseIndex: finds an earlier canonical term with the same label and children.
//
// A duplicate must share its first child with the original, so candidates are
// first looked up among the terms hung off that child: a short chain per child,
// touched where the child was touched a moment ago. In pipeline graphs children
// are recent terms, so this stays in cache where a hash table of all terms would
// cost a random memory access per term. A child's chain holds at most
// kChainCap terms; later terms with that first child, and terms without
// children, go to a hash table, so a node with a huge fan-out costs at most
// kChainCap comparisons per lookup, never a quadratic walk.
//
// Example: terms 0 src|x, 1 op|f [0], 2 op|g [0], 3 op|f [0]. Term 1 and 2 hang
// off child 0 (chain 2 -> 1); term 3 walks that chain, meets 1 with the same
// label and children, and is merged into it.
//
// Not done here: no canonicalisation of children (the caller maps them through
// the canonical indices first) and no removal: canonical terms only accumulate.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "optimizer/engine/rewrite_engine.h"
#include "optimizer/reduce/flat_index.h"
#include "support/hash.h"

namespace brantel::reduce {

class CseIndex {
 public:
  // `terms` is the canonical list the indices refer to; it grows as the caller
  // appends, and `capacity` bounds its final length.
  CseIndex(const std::vector<engine::EngineTerm>& terms, std::size_t capacity)
      : terms_(terms), head_(capacity, kNone), chain_len_(capacity, 0), next_(capacity, kNone),
        seed_(support::random_seed()) {}

  // The canonical index of a term equal to (label, children), or `next` after
  // recording it; `inserted` tells which. The caller appends the term at `next`.
  std::uint64_t find_or_insert(std::string_view label, const engine::TermChildren& children,
                               std::uint64_t next, bool& inserted) {
    BRANTEL_CHECK(next < kNone, "index fits the reduction's tables");
    auto equal = [&](std::uint64_t k) {
      const engine::EngineTerm& t = terms_[k];
      return t.children == children && t.label == label;
    };
    if (!children.empty()) {
      const std::uint64_t c = children[0];
      for (std::uint32_t k = head_[c]; k != kNone; k = next_[k]) {
        if (equal(k)) {
          inserted = false;
          return k;
        }
      }
      if (chain_len_[c] < kChainCap) {
        ++chain_len_[c];
        next_[next] = head_[c];
        head_[c] = static_cast<std::uint32_t>(next);
        inserted = true;
        return next;
      }
    }
    support::HashState h(seed_);
    h.add_bytes(label);
    h.add_u64(children.size());
    for (const std::uint64_t x : children) h.add_u64(x);
    return overflow_.find_or_insert(h.finish(), next, inserted, equal);
  }

 private:
  static constexpr std::uint32_t kNone = 0xffffffffU;
  static constexpr std::uint8_t kChainCap = 8;

  const std::vector<engine::EngineTerm>& terms_;
  std::vector<std::uint32_t> head_;      // by child: newest chained term with that first child
  std::vector<std::uint8_t> chain_len_;  // by child
  std::vector<std::uint32_t> next_;      // by term: the chained term before it
  FlatIndex overflow_;
  std::uint64_t seed_;
};

}  // namespace brantel::reduce
