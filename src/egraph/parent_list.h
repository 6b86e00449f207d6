// IdPool and ParentList: the parent entries of an e-class and where they spill.
//
// What it computes: ParentList is a list of ids with push_back, append_from and
// read access. Two entries live inline; a longer list takes a block from the
// IdPool of its e-graph, which every call that may grow or free it is handed.
// Blocks hold a power of two of at least four ids; a freed block waits in its size
// class for the next list that needs one, and the pool frees everything at once.
//
// Why: about a fifth of a pipeline graph's classes have more than two parents. As
// heap blocks of their own they cost a million-term graph a malloc each while it
// loaded and a free each when it died, some 20 ms of a 400 ms run; from the pool,
// a block is a pointer bump and the whole pool goes one 64 KiB chunk at a time.
//
// Example: pushing 3, 5, 8 onto an empty list moves it to a 4-id block from the
// pool; append_from of a list holding 9 adds 9 and hands that list's storage back.
//
// Non-goals: no erase, no thread safety. A list does not free its block when it is
// destroyed (the pool outlives it), and a copy shares its source's block: whoever
// copies lists between pools re-homes them (see ClassTable in egraph.h).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "egraph/symbol_node.h"

namespace brantel::egraph {

class IdPool {
 public:
  IdPool() = default;
  // A moved-from pool is empty: its free blocks belong to the pool it moved to.
  IdPool(IdPool&& other) noexcept { swap(other); }
  IdPool& operator=(IdPool&& other) noexcept {
    if (this != &other) {
      IdPool gone;
      gone.swap(other);
      swap(gone);
    }
    return *this;
  }
  IdPool(const IdPool&) = delete;
  IdPool& operator=(const IdPool&) = delete;

  // A block of `capacity` ids, a power of two of at least kMinBlock.
  Id* allocate(std::uint32_t capacity);
  // Takes back a block that allocate(capacity) returned.
  void deallocate(Id* block, std::uint32_t capacity) noexcept;

  static constexpr std::uint32_t kMinBlock = 4;

 private:
  void swap(IdPool& other) noexcept {
    std::swap(free_, other.free_);
    std::swap(chunks_, other.chunks_);
    std::swap(next_, other.next_);
    std::swap(left_, other.left_);
  }

  // A free block keeps the next free block of its size in its first bytes.
  std::array<Id*, 33> free_{};
  std::vector<std::unique_ptr<Id[]>> chunks_;
  Id* next_ = nullptr;
  std::size_t left_ = 0;
};

class ParentList {
 public:
  ParentList() noexcept : storage_{} {}
  ParentList(const ParentList&) noexcept = default;
  ParentList& operator=(const ParentList&) noexcept = default;
  ParentList(ParentList&& other) noexcept : size_(other.size_), capacity_(other.capacity_), storage_(other.storage_) {
    other.reset();
  }
  ParentList& operator=(ParentList&& other) noexcept {
    if (this != &other) {
      size_ = other.size_;
      capacity_ = other.capacity_;
      storage_ = other.storage_;
      other.reset();
    }
    return *this;
  }

  std::uint32_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const Id* data() const noexcept { return is_inline() ? storage_.inline_ids : storage_.heap; }
  const Id* begin() const noexcept { return data(); }
  const Id* end() const noexcept { return data() + size_; }
  Id operator[](std::size_t i) const noexcept { return data()[i]; }
  bool is_inline() const noexcept { return capacity_ == kInline; }

  void push_back(Id id, IdPool& pool) {
    if (size_ == capacity_) grow(capacity_ * 2, pool);
    mutable_data()[size_++] = id;
  }

  // Appends every entry of other and hands other's block back to pool, leaving
  // other empty.
  void append_from(ParentList&& other, IdPool& pool);

  // Moves a list that shares a block of another pool into a block of `pool`.
  void rehome(IdPool& pool);

 private:
  static constexpr std::uint32_t kInline = 2;

  Id* mutable_data() noexcept { return is_inline() ? storage_.inline_ids : storage_.heap; }
  void grow(std::uint32_t wanted, IdPool& pool);
  // A block of `capacity` ids from pool, holding a copy of the entries.
  Id* copy_to_block(std::uint32_t capacity, IdPool& pool) const;
  void reset() noexcept {
    size_ = 0;
    capacity_ = kInline;
  }

  std::uint32_t size_ = 0;
  // kInline exactly while the entries live inline; a block is always larger.
  std::uint32_t capacity_ = kInline;
  union Storage {
    Id inline_ids[kInline];
    Id* heap;
  } storage_;
};

static_assert(sizeof(ParentList) == 16, "a parent list is as small as the SmallVec it replaced");

}  // namespace brantel::egraph
