// Transparent huge pages for large, freshly allocated blocks: aligned mappings, and
// advice for blocks that come from elsewhere.
//
// On the virtual machines this code runs on, the first touch of a 4 KiB page costs
// microseconds, so a table of tens of megabytes filled front to back spends more
// time in the kernel than in the loop that fills it. Advising the block before it
// is touched lets the kernel fault it in 2 MiB at a time.
//
// Only a hint: where huge pages are unavailable the kernel ignores it, and nothing
// observable depends on it.
//
// Example: reserve_advised(node_map, 1'000'000) reserves 32 MB and advises the
// 2 MiB-aligned pages inside it, so filling it takes about 15 faults, not 7,800.
//
// The vector helpers leave blocks below kAdviseBytes alone: they hold at most one
// huge page, and the advice would split the mapping for little gain.
#pragma once

#include <cstddef>
#include <iterator>
#include <vector>

namespace brantel::support {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Advises the whole 2 MiB pages inside [data, data + bytes); a no-op for null data
// or a range holding none.
void advise_huge_pages(const void* data, std::size_t bytes) noexcept;

// A fresh anonymous mapping of `bytes` (a multiple of kHugePageBytes) starting on
// a huge-page boundary, since only aligned 2 MiB ranges can be huge pages; it is
// not advised yet. Throws std::bad_alloc when the kernel refuses. Linux only.
void* map_huge_aligned(std::size_t bytes);

inline constexpr std::size_t kAdviseBytes = std::size_t{4} << 20;

// Reserves room for `n` elements in an empty `v` and advises the new block
// before anything touches it, when it is at least kAdviseBytes.
template <typename T>
void reserve_advised(std::vector<T>& v, std::size_t n) {
  v.reserve(n);
  const std::size_t bytes = v.capacity() * sizeof(T);
  if (bytes >= kAdviseBytes) advise_huge_pages(v.data(), bytes);
}

// Moves `v` into a new, advised block with room for `n` elements, unless it has
// that room already. The contents are kept.
template <typename T>
void grow_advised(std::vector<T>& v, std::size_t n) {
  if (v.capacity() >= n) return;
  std::vector<T> grown;
  reserve_advised(grown, n);
  grown.insert(grown.end(), std::make_move_iterator(v.begin()), std::make_move_iterator(v.end()));
  v.swap(grown);
}

// `v` resized to `n` copies of `value`, in a block advised before it is filled.
template <typename T>
void assign_advised(std::vector<T>& v, std::size_t n, const T& value) {
  if (v.capacity() < n) {
    std::vector<T>().swap(v);
    reserve_advised(v, n);
  }
  v.assign(n, value);
}

}  // namespace brantel::support
