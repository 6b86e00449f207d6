#include "egraph/memo_table.h"

#include <algorithm>
#include <bit>
#include <utility>

#include "support/check.h"

namespace brantel::egraph {
namespace {
constexpr std::size_t kMinCapacity = 16;
}  // namespace

MemoTable::MemoTable(const MemoTable& other)
    : seed_(other.seed_), pool_(other.pool_), segments_(other.segments_), size_(other.size_) {
  for (std::size_t k = 0; k < segments_.size(); ++k) {
    const std::span<Slot> from = other.segments_[k].slots;
    Segment& seg = segments_[k];
    if (!seg.own.empty()) {
      seg.slots = seg.own;
    } else if (!from.empty()) {
      seg.slots = std::span<Slot>(pool_).subspan(static_cast<std::size_t>(from.data() - other.pool_.data()),
                                                 from.size());
    }
  }
}

std::size_t MemoTable::segment_of(std::span<const Id> children) noexcept {
  Id largest = 0;
  for (Id c : children) largest = std::max(largest, c);
  return static_cast<std::size_t>(largest >> kSegmentBits);
}

std::size_t MemoTable::Segment::probe(const SymbolNode& key, std::uint64_t hash) const noexcept {
  const auto tag = static_cast<std::uint32_t>(hash);
  std::size_t i = home(hash);
  while (true) {
    const Slot& s = slots[i];
    if (s.key.op().is_null()) return i;
    if (s.tag == tag && s.key == key) return i;
    i = (i + 1) & mask;
  }
}

MemoTable::Segment& MemoTable::segment_for_insert(const SymbolNode& key) {
  BRANTEL_CHECK(!key.op().is_null(), "memo keys have an operator");
  const std::size_t index = segment_of(key);
  if (index >= segments_.size()) segments_.resize(index + 1);
  Segment& seg = segments_[index];
  if (seg.slots.empty()) {
    rehash(seg, kMinCapacity);
  } else if ((seg.size + 1) * 4 > seg.slots.size() * 3) {
    rehash(seg, seg.slots.size() * 2);
  }
  return seg;
}

void MemoTable::rehash(Segment& seg, std::size_t capacity) {
  BRANTEL_CHECK(std::has_single_bit(capacity), "memo capacity is a power of two");
  SlotVector grown(capacity);
  const std::size_t mask = capacity - 1;
  const unsigned shift = 64u - static_cast<unsigned>(std::countr_zero(capacity));
  for (Slot& s : seg.slots) {
    if (s.key.op().is_null()) continue;
    // The tag holds only the low half of the hash and the home uses the top bits.
    std::size_t i = static_cast<std::size_t>(hash_of(s.key) >> shift);
    while (!grown[i].key.op().is_null()) i = (i + 1) & mask;
    grown[i] = std::move(s);
  }
  seg.own = std::move(grown);
  seg.slots = seg.own;
  seg.mask = mask;
  seg.shift = shift;
}

void MemoTable::reserve(std::size_t n) {
  const std::size_t span = std::size_t{1} << kSegmentBits;
  const std::size_t count = n / span + 1;
  // A node's largest child is usually a recent id, so about one node per id of a
  // segment's range lands in it.
  auto capacity_of = [&](std::size_t k) {
    const std::size_t expected = std::min(span, n - std::min(n, k * span)) + 1;
    std::size_t capacity = kMinCapacity;
    while (capacity / 4 * 3 < expected) capacity *= 2;
    return capacity;
  };
  if (size_ == 0 && pool_.empty()) {
    // A fresh table: every segment takes its share of one block.
    std::size_t total = 0;
    for (std::size_t k = 0; k < count; ++k) total += capacity_of(k);
    pool_ = SlotVector(total);
    segments_.clear();
    segments_.resize(count);
    std::size_t at = 0;
    for (std::size_t k = 0; k < count; ++k) {
      Segment& seg = segments_[k];
      const std::size_t capacity = capacity_of(k);
      seg.slots = std::span<Slot>(pool_).subspan(at, capacity);
      seg.mask = capacity - 1;
      seg.shift = 64u - static_cast<unsigned>(std::countr_zero(capacity));
      at += capacity;
    }
    return;
  }
  if (segments_.size() < count) segments_.resize(count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t capacity = capacity_of(k);
    if (segments_[k].slots.size() < capacity) rehash(segments_[k], capacity);
  }
}

std::optional<Id> MemoTable::find(const SymbolNode& key) const {
  const std::size_t index = segment_of(key);
  if (index >= segments_.size() || segments_[index].size == 0) return std::nullopt;
  const Segment& seg = segments_[index];
  const Slot& s = seg.slots[seg.probe(key, hash_of(key))];
  if (s.key.op().is_null()) return std::nullopt;
  return s.value;
}

void MemoTable::prefetch(Symbol op, std::span<const Id> children) const noexcept {
  const std::size_t index = segment_of(children);
  if (index >= segments_.size() || segments_[index].slots.empty()) return;
  const Segment& seg = segments_[index];
  __builtin_prefetch(&seg.slots[seg.home(SymbolNode::hash_of(op, children, seed_))]);
}

MemoTable::InsertResult MemoTable::insert_if_absent(const SymbolNode& key, Id value) {
  Segment& seg = segment_for_insert(key);
  const std::uint64_t hash = hash_of(key);
  Slot& s = seg.slots[seg.probe(key, hash)];
  if (!s.key.op().is_null()) return {s.value, false};
  s.key = key;
  s.value = value;
  s.tag = static_cast<std::uint32_t>(hash);
  ++seg.size;
  ++size_;
  return {value, true};
}

std::optional<Id> MemoTable::insert_or_assign(SymbolNode&& key, Id value) {
  Segment& seg = segment_for_insert(key);
  const std::uint64_t hash = hash_of(key);
  Slot& s = seg.slots[seg.probe(key, hash)];
  if (!s.key.op().is_null()) return std::exchange(s.value, value);
  s.key = std::move(key);
  s.value = value;
  s.tag = static_cast<std::uint32_t>(hash);
  ++seg.size;
  ++size_;
  return std::nullopt;
}

}  // namespace brantel::egraph
