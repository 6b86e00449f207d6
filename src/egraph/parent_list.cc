#include "egraph/parent_list.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "support/check.h"

namespace brantel::egraph {
namespace {

// 64 KiB: small enough to come from malloc's heap rather than a mapping of its own,
// large enough that a million-term graph needs about a hundred.
constexpr std::size_t kChunkIds = std::size_t{1} << 14;

}  // namespace

Id* IdPool::allocate(std::uint32_t capacity) {
  BRANTEL_CHECK(std::has_single_bit(capacity) && capacity >= kMinBlock, "pool blocks are powers of two");
  Id*& head = free_[std::countr_zero(capacity)];
  if (head != nullptr) {
    Id* block = head;
    std::memcpy(&head, block, sizeof head);
    return block;
  }
  if (left_ < capacity) {
    // What is left of the current chunk is dropped; it is smaller than one block.
    const std::size_t ids = std::max<std::size_t>(kChunkIds, capacity);
    chunks_.push_back(std::make_unique_for_overwrite<Id[]>(ids));
    next_ = chunks_.back().get();
    left_ = ids;
  }
  Id* block = next_;
  next_ += capacity;
  left_ -= capacity;
  return block;
}

void IdPool::deallocate(Id* block, std::uint32_t capacity) noexcept {
  Id*& head = free_[std::countr_zero(capacity)];
  std::memcpy(block, &head, sizeof head);
  head = block;
}

Id* ParentList::copy_to_block(std::uint32_t capacity, IdPool& pool) const {
  Id* block = pool.allocate(capacity);
  std::copy(begin(), end(), block);
  return block;
}

void ParentList::grow(std::uint32_t wanted, IdPool& pool) {
  const std::uint32_t capacity = std::bit_ceil(std::max(wanted, IdPool::kMinBlock));
  Id* fresh = copy_to_block(capacity, pool);
  if (!is_inline()) pool.deallocate(storage_.heap, capacity_);
  storage_.heap = fresh;
  capacity_ = capacity;
}

void ParentList::append_from(ParentList&& other, IdPool& pool) {
  // Grow geometrically: a class that keeps absorbing small ones must not be copied
  // in full on every merge.
  if (size_ + other.size_ > capacity_) grow(std::max(size_ + other.size_, capacity_ * 2), pool);
  std::copy(other.begin(), other.end(), mutable_data() + size_);
  size_ += other.size_;
  if (!other.is_inline()) pool.deallocate(other.storage_.heap, other.capacity_);
  other.reset();
}

void ParentList::rehome(IdPool& pool) {
  if (!is_inline()) storage_.heap = copy_to_block(capacity_, pool);
}

}  // namespace brantel::egraph
