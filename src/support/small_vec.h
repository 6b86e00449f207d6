// SmallVec<T, N>: a vector that keeps up to N elements inside the object.
//
// What it computes: the same as std::vector<T> for the operations the e-graph uses
// (push_back, truncation, indexing, iteration), without a heap allocation while the
// size stays at or below N.
//
// Why: almost every e-class holds one e-node and almost every term one or two
// children, and a million-term graph would otherwise pay a malloc and a free for
// each.
// Example: SmallVec<Id, 2> holding {3, 7} is 16 bytes with no allocation; pushing a
// third id moves the three ids to a heap block of capacity 4.
//
// Non-goals: no insert/erase in the middle, no allocator parameter, no exception
// guarantees beyond "no leak" (element moves are expected not to throw).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace brantel::support {

template <typename T, std::uint32_t N>
class SmallVec {
  static_assert(N >= 1, "a SmallVec keeps at least one element inline");

 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  SmallVec() noexcept {}
  SmallVec(std::initializer_list<T> values) {
    reserve(static_cast<std::uint32_t>(values.size()));
    for (const T& v : values) push_back(v);
  }
  SmallVec(const SmallVec& other) {
    reserve(other.size_);
    std::uninitialized_copy(other.begin(), other.end(), data());
    size_ = other.size_;
  }
  SmallVec(SmallVec&& other) noexcept { steal(std::move(other)); }
  // n elements, the k-th make(k), with the size set once at the end: pushing them
  // one by one read back a size and capacity stored moments before.
  template <typename Make>
  SmallVec(std::uint32_t n, Make&& make) {
    if (n > N) grow(n);
    T* out = n > N ? storage_.heap : inline_ptr();
    for (std::uint32_t k = 0; k < n; ++k) std::construct_at(out + k, make(k));
    size_ = n;
  }
  SmallVec& operator=(const SmallVec& other) {
    if (this != &other) {
      SmallVec copy(other);
      *this = std::move(copy);
    }
    return *this;
  }
  SmallVec& operator=(SmallVec&& other) noexcept {
    if (this != &other) {
      release();
      steal(std::move(other));
    }
    return *this;
  }
  ~SmallVec() { release(); }

  T* data() noexcept { return is_inline() ? inline_ptr() : storage_.heap; }
  const T* data() const noexcept { return is_inline() ? inline_ptr() : storage_.heap; }
  std::uint32_t size() const noexcept { return size_; }
  std::uint32_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }

  T* begin() noexcept { return data(); }
  T* end() noexcept { return data() + size_; }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + size_; }

  T& operator[](std::size_t i) noexcept { return data()[i]; }
  const T& operator[](std::size_t i) const noexcept { return data()[i]; }
  T& back() noexcept { return data()[size_ - 1]; }
  const T& back() const noexcept { return data()[size_ - 1]; }

  void push_back(const T& value) { emplace_back(value); }
  void push_back(T&& value) { emplace_back(std::move(value)); }

  template <typename... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == capacity_) {
      // Build the element before growing: args may refer into this vector.
      T tmp(std::forward<Args>(args)...);
      grow(grown_capacity(std::uint64_t{size_} + 1));
      T* slot = std::construct_at(data() + size_, std::move(tmp));
      ++size_;
      return *slot;
    }
    T* slot = std::construct_at(data() + size_, std::forward<Args>(args)...);
    ++size_;
    return *slot;
  }

  void pop_back() noexcept {
    --size_;
    std::destroy_at(data() + size_);
  }

  // Drops the elements from new_size on; keeps the capacity.
  void truncate(std::uint32_t new_size) noexcept {
    if (new_size >= size_) return;
    std::destroy(data() + new_size, data() + size_);
    size_ = new_size;
  }
  void clear() noexcept { truncate(0); }

  void reserve(std::uint32_t wanted) {
    if (wanted > capacity_) grow(wanted);
  }
  // Appends n elements left for the caller to write, and returns the first.
  T* append_uninitialized(std::size_t n)
    requires std::is_trivial_v<T>
  {
    const std::uint64_t wanted = size_ + std::uint64_t{n};
    if (wanted > capacity_) grow(grown_capacity(wanted));
    T* out = data() + size_;
    size_ = static_cast<std::uint32_t>(wanted);
    return out;
  }

  // Appends every element of other, leaving other empty.
  void append_from(SmallVec&& other) {
    // Grow geometrically: a class that keeps absorbing small ones must not be copied
    // in full on every merge.
    if (size_ + other.size_ > capacity_) grow(grown_capacity(std::uint64_t{size_} + other.size_));
    T* dst = data() + size_;
    for (T& v : other) std::construct_at(dst++, std::move(v));
    size_ += other.size_;
    other.clear();
  }

  friend bool operator==(const SmallVec& a, const SmallVec& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  bool is_inline() const noexcept { return capacity_ == N; }
  T* inline_ptr() noexcept { return std::launder(reinterpret_cast<T*>(storage_.inline_bytes)); }
  const T* inline_ptr() const noexcept {
    return std::launder(reinterpret_cast<const T*>(storage_.inline_bytes));
  }

  // At least `wanted` and at least double, within u32: sizes are u32, so a
  // larger one throws std::length_error instead of wrapping.
  std::uint32_t grown_capacity(std::uint64_t wanted) const {
    constexpr std::uint64_t kMaxSize = 0xffffffffULL;
    if (wanted > kMaxSize) throw std::length_error("SmallVec beyond 2**32 - 1 elements");
    return static_cast<std::uint32_t>(std::min(std::max(wanted, 2 * std::uint64_t{capacity_}), kMaxSize));
  }

  void grow(std::uint32_t wanted) {
    const std::uint32_t new_capacity = std::max<std::uint32_t>(wanted, N + 1);
    std::allocator<T> alloc;
    T* fresh = alloc.allocate(new_capacity);
    T* old = data();
    for (std::uint32_t k = 0; k < size_; ++k) {
      std::construct_at(fresh + k, std::move(old[k]));
      std::destroy_at(old + k);
    }
    if (!is_inline()) alloc.deallocate(storage_.heap, capacity_);
    storage_.heap = fresh;
    capacity_ = new_capacity;
  }

  void release() noexcept {
    std::destroy(begin(), end());
    if (!is_inline()) std::allocator<T>{}.deallocate(storage_.heap, capacity_);
    size_ = 0;
    capacity_ = N;
  }

  // Leaves other empty and inline; this must be empty and inline beforehand.
  void steal(SmallVec&& other) noexcept {
    if (other.is_inline()) {
      T* src = other.inline_ptr();
      for (std::uint32_t k = 0; k < other.size_; ++k) {
        std::construct_at(inline_ptr() + k, std::move(src[k]));
      }
      size_ = other.size_;
      other.clear();
    } else {
      storage_.heap = other.storage_.heap;
      size_ = other.size_;
      capacity_ = other.capacity_;
      other.size_ = 0;
      other.capacity_ = N;
    }
  }

  std::uint32_t size_ = 0;
  // Equal to N exactly while the elements live inline; a heap block is always larger.
  std::uint32_t capacity_ = N;
  union Storage {
    Storage() noexcept {}
    ~Storage() {}
    alignas(T) std::byte inline_bytes[sizeof(T) * N];
    T* heap;
  } storage_;
};

}  // namespace brantel::support
