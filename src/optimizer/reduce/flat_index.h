// FlatIndex: an open-addressing set of indices into a list the caller owns,
// looked up by a hash and an equality test on the caller's items.
//
// The reduction's tables (templates by key, canonical terms by label and
// children) key on data that already lives in a list, so the index stores only
// 32 hash bits and the item's index: 8 bytes a slot, no copied keys, no node
// allocations. It is only looked up, never walked, so nothing emitted depends on
// its order or its seed.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "support/check.h"

namespace brantel::reduce {

class FlatIndex {
 public:
  // Sized so that `expected` items fit without growing (at most 3/4 full).
  explicit FlatIndex(std::size_t expected = 0) {
    std::size_t slots = 16;
    while (slots * 3 < expected * 4 + 4) slots *= 2;
    slots_.assign(slots, Slot{});
  }

  // The stored index whose item `equal(index)` accepts, if any.
  template <typename Equal>
  std::optional<std::uint64_t> find(std::uint64_t hash, Equal&& equal) const {
    const Slot& s = slots_[probe(static_cast<std::uint32_t>(hash), equal)];
    if (s.index_plus_one == 0) return std::nullopt;
    return s.index_plus_one - 1;
  }

  // The stored index equal to the probe, or `next` after inserting it (the
  // caller then appends that item at `next`). `inserted` tells which.
  template <typename Equal>
  std::uint64_t find_or_insert(std::uint64_t hash, std::uint64_t next, bool& inserted,
                               Equal&& equal) {
    const auto h = static_cast<std::uint32_t>(hash);
    std::size_t i = probe(h, equal);
    if (slots_[i].index_plus_one != 0) {
      inserted = false;
      return slots_[i].index_plus_one - 1;
    }
    // Slots keep 32-bit indices; four billion terms cannot fit in memory anyway.
    BRANTEL_CHECK(next < 0xffffffffULL, "index fits the reduction's tables");
    slots_[i] = Slot{h, static_cast<std::uint32_t>(next + 1)};
    ++size_;
    if (size_ * 4 > slots_.size() * 3) grow();
    inserted = true;
    return next;
  }

  std::size_t size() const { return size_; }

 private:
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t index_plus_one = 0;  // 0 marks an empty slot
  };

  template <typename Equal>
  std::size_t probe(std::uint32_t hash, Equal& equal) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.index_plus_one == 0) return i;
      if (s.hash == hash && equal(static_cast<std::uint64_t>(s.index_plus_one - 1))) return i;
    }
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    // Probed at random and as large as the graph: on huge pages where it is large.
    slots_.assign(old.size() * 2, Slot{});
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.index_plus_one == 0) continue;
      std::size_t i = s.hash & mask;
      while (slots_[i].index_plus_one != 0) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

}  // namespace brantel::reduce
