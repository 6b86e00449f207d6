// HugePageAllocator<T>: a stateless allocator that backs large blocks with
// transparent huge pages.
//
// Why: a million-term e-graph keeps a few dozen arrays of tens of megabytes. Touched
// in 4 KiB pages, each array costs thousands of page faults and, when it is read out
// of order, a TLB miss on most accesses; virtual machines make both expensive. Blocks
// of at least kHugeThreshold bytes are therefore mapped directly, aligned to 2 MiB,
// and advised as huge-page candidates, so the kernel faults and maps them 2 MiB at a
// time. Smaller blocks come from operator new as usual.
//
// Example: std::vector<Id, HugePageAllocator<Id>> with a million ids asks for 4 MB,
// which is mapped as two 2 MiB huge pages instead of 977 small ones.
//
// A freed block goes to the process's retained mappings (support/retained_mappings.h),
// from which the next large block, here or in a store, is taken. Non-goals: no NUMA
// placement. Where huge pages are unavailable the advice is ignored by the kernel and
// the block behaves like any anonymous mapping.
#pragma once

#include <cstddef>
#include <limits>
#include <new>

namespace brantel::egraph {

namespace huge_pages {
inline constexpr std::size_t kHugeThreshold = std::size_t{2} << 20;
void* allocate(std::size_t bytes);
void deallocate(void* p, std::size_t bytes) noexcept;
}  // namespace huge_pages

template <typename T>
class HugePageAllocator {
 public:
  using value_type = T;

  HugePageAllocator() noexcept = default;
  template <typename U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}  // NOLINT: rebinding is implicit

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < huge_pages::kHugeThreshold) {
      return static_cast<T*>(::operator new(bytes, std::align_val_t{alignof(T)}));
    }
    return static_cast<T*>(huge_pages::allocate(bytes));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < huge_pages::kHugeThreshold) {
      ::operator delete(p, std::align_val_t{alignof(T)});
    } else {
      huge_pages::deallocate(p, bytes);
    }
  }

  template <typename U>
  friend bool operator==(const HugePageAllocator&, const HugePageAllocator<U>&) noexcept {
    return true;
  }
};

}  // namespace brantel::egraph
