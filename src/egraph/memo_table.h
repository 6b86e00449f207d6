// MemoTable: the hash-cons table of the e-graph, from SymbolNode to Id.
//
// What it computes: the Id stored for an e-node, if any. Keys are never removed:
// a key that went stale when its children merged stays until it is overwritten, and
// size() counts it, since the runner's node limit is measured on this table.
//
// Layout: the table is split into segments by the node's largest child id (1024
// ids per segment; childless nodes go to segment 0), and each segment is an
// open-addressing table with linear probing over 24-byte slots (key, value, and 32
// bits of the key's hash, which rejects most non-equal keys without touching their
// children). Terms arrive roughly in id order and a commuted or re-canonicalised
// node keeps its largest child, so consecutive operations land in the same few
// segments and stay in cache: a segment of a pipeline-shaped graph holds about
// 2,000 nodes in some 50 kilobytes, while a single table of a million entries would
// miss the cache on every probe. A loader fetches the next segment while it fills
// the current one (prefetch_next_segment), so that its random probes hit the cache.
// The segments reserve() sizes up front share one block on huge pages (see
// huge_page_allocator.h); a thousand separate blocks would each be faulted in 4 KiB
// at a time. A segment that outgrows its share moves to a block of its own. A slot
// whose key has the null operator is empty (the null Symbol is never interned).
// Each segment doubles before it is three quarters full.
//
// Example: insert add(0, 1) -> 2, then insert_or_assign(add(0, 1), 5) returns 2 and
// leaves 5 stored; size() stays 1.
//
// Non-goals: no deletion, no iteration order anyone may rely on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "egraph/huge_page_allocator.h"
#include "egraph/symbol_node.h"

namespace brantel::egraph {

class MemoTable {
 public:
  explicit MemoTable(std::uint64_t seed) noexcept : seed_(seed) {}
  // Segments point into storage the table owns: a move keeps it in place, and a
  // copy points its segments into its own.
  MemoTable(MemoTable&&) noexcept = default;
  MemoTable& operator=(MemoTable&&) noexcept = default;
  MemoTable(const MemoTable& other);
  MemoTable& operator=(const MemoTable& other) {
    if (this != &other) *this = MemoTable(other);
    return *this;
  }

  std::size_t size() const noexcept { return size_; }
  // Presizes for about n nodes whose children are ids below n (a graph being loaded in
  // order); purely a speed hint.
  void reserve(std::size_t n);

  std::optional<Id> find(const SymbolNode& key) const;
  // Starts loading the slot where key's probe begins, for a caller that knows its
  // next keys ahead; no effect on contents.
  void prefetch(const SymbolNode& key) const noexcept { prefetch(key.op(), key.children()); }
  // The same for the node (op, children), from its parts.
  void prefetch(Symbol op, std::span<const Id> children) const noexcept;

  // For a caller adding nodes in id order (a graph being loaded): `next` is the id
  // the next new node takes. Starts loading the part of the following segment's
  // table that corresponds to `next`'s place in its own segment, so that by the
  // time the ids reach the following segment, its table is in cache rather than
  // missed one random probe at a time. No effect on contents.
  void prefetch_next_segment(Id next) const noexcept {
    const std::size_t index = (static_cast<std::size_t>(next) >> kSegmentBits) + 1;
    if (index >= segments_.size()) return;
    const std::span<Slot> slots = segments_[index].slots;
    const std::size_t offset = (next & ((Id{1} << kSegmentBits) - 1)) * slots.size() >> kSegmentBits;
    if (offset < slots.size()) __builtin_prefetch(slots.data() + offset);
  }

  struct InsertResult {
    Id value;       // the stored value after the call
    bool inserted;  // false when the key was present and left unchanged
  };
  // Stores key -> value unless key is present.
  InsertResult insert_if_absent(const SymbolNode& key, Id value);

  // Stores key -> value, returning the value it replaced, if any.
  std::optional<Id> insert_or_assign(SymbolNode&& key, Id value);

  template <typename F>
  void for_each(F&& f) const {
    for (const Segment& seg : segments_) {
      for (const Slot& s : seg.slots) {
        if (!s.key.op().is_null()) f(s.key, s.value);
      }
    }
  }

 private:
  static constexpr unsigned kSegmentBits = 10;

  struct Slot {
    SymbolNode key;
    Id value = 0;
    std::uint32_t tag = 0;
  };
  using SlotVector = std::vector<Slot, HugePageAllocator<Slot>>;
  struct Segment {
    // Into pool_, or into own once the segment has been rehashed.
    std::span<Slot> slots;
    SlotVector own;
    std::size_t size = 0;
    std::size_t mask = 0;
    unsigned shift = 64;

    std::size_t home(std::uint64_t hash) const noexcept { return static_cast<std::size_t>(hash >> shift); }
    // The slot holding key, or the empty slot where it would go.
    std::size_t probe(const SymbolNode& key, std::uint64_t hash) const noexcept;
  };

  static std::size_t segment_of(const SymbolNode& key) noexcept { return segment_of(key.children()); }
  static std::size_t segment_of(std::span<const Id> children) noexcept;
  std::uint64_t hash_of(const SymbolNode& key) const noexcept { return key.hash(seed_); }
  // The segment for key, created and grown so that one more entry fits.
  Segment& segment_for_insert(const SymbolNode& key);
  void rehash(Segment& seg, std::size_t capacity);

  std::uint64_t seed_;
  // The slots of the segments sized by reserve(); never reallocated, since
  // segments point into it.
  SlotVector pool_;
  std::vector<Segment> segments_;
  std::size_t size_ = 0;
};

}  // namespace brantel::egraph
