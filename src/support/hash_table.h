// HashTable<Entry>: the one open-addressing hash table of the module (linear
// probing, power-of-two size, at most 3/4 full, no deletion).
//
// The owner passes each lookup's 64-bit hash (from its key type's hash) and a
// predicate that recognises the entry it wants (its key type's equality), so an
// entry can be a key and value (the e-graph memo) or only an index into a list
// the owner already keeps (the store's records, the reduction's terms), with no
// key copied. Each slot keeps 32 bits of the hash, which reject most mismatches
// without calling the predicate and let the table grow without hashing again.
//
// Example: with entries that are indices into `names`,
//   table.find_or_insert(h("a"), [&](u32 i) { return names[i] == "a"; }, [&] { return 0u; })
// stores 0 and reports it new; the same call again finds 0 and stores nothing.
//
// Growth happens before an insertion writes anything, so a std::bad_alloc leaves
// the table as it was. Iteration order follows the hashes: never emit in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "support/huge_pages.h"

namespace brantel::support {

template <typename Entry>
class HashTable {
 public:
  // Sized so that `expected` entries fit without growing; empty allocates nothing.
  explicit HashTable(std::size_t expected = 0) {
    if (expected != 0) reserve(expected);
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t memory_bytes() const noexcept { return slots_.capacity() * sizeof(Slot); }

  void reserve(std::size_t expected) {
    std::size_t count = kMinSlots;
    while (count / 4 * 3 < expected) count *= 2;
    if (count > slots_.size()) rehash(count);
  }

  // The entry `match` accepts among those stored under `hash`, or null.
  template <typename Match>
  const Entry* find(std::uint64_t hash, Match&& match) const {
    if (slots_.empty()) return nullptr;
    const Slot& slot = slots_[probe(tag_of(hash), match)];
    return slot.tag == 0 ? nullptr : &slot.entry;
  }
  template <typename Match>
  Entry* find(std::uint64_t hash, Match&& match) {
    return const_cast<Entry*>(std::as_const(*this).find(hash, match));
  }

  // The entry `match` accepts, or a new one from make() stored under `hash`;
  // `second` tells whether it is new.
  template <typename Match, typename Make>
  std::pair<Entry&, bool> find_or_insert(std::uint64_t hash, Match&& match, Make&& make) {
    if ((size_ + 1) * 4 > slots_.size() * 3) rehash(slots_.empty() ? kMinSlots : slots_.size() * 2);
    const std::uint32_t tag = tag_of(hash);
    Slot& slot = slots_[probe(tag, match)];
    if (slot.tag != 0) return {slot.entry, false};
    slot.entry = make();
    slot.tag = tag;
    ++size_;
    return {slot.entry, true};
  }

  template <typename F>
  void for_each(F&& f) const {
    for (const Slot& slot : slots_) {
      if (slot.tag != 0) f(slot.entry);
    }
  }

 private:
  struct Slot {
    std::uint32_t tag = 0;  // 0 marks an empty slot
    Entry entry{};
  };
  static constexpr std::size_t kMinSlots = 16;

  static std::uint32_t tag_of(std::uint64_t hash) noexcept {
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    return tag == 0 ? 1 : tag;
  }

  template <typename Match>
  std::size_t probe(std::uint32_t tag, Match& match) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = tag & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.tag == 0 || (slot.tag == tag && match(slot.entry))) return i;
    }
  }

  void rehash(std::size_t count) {
    HugeVector<Slot> fresh(count);
    const std::size_t mask = count - 1;
    for (Slot& slot : slots_) {
      if (slot.tag == 0) continue;
      std::size_t i = slot.tag & mask;
      while (fresh[i].tag != 0) i = (i + 1) & mask;
      fresh[i] = std::move(slot);
    }
    slots_ = std::move(fresh);
  }

  HugeVector<Slot> slots_;
  std::size_t size_ = 0;
};

}  // namespace brantel::support
