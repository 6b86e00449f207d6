// Transparent-huge-page advice for the reduction's large tables.
//
// A million-node reduction fills a dozen flat tables of several megabytes each
// (the remap table, the engine terms, the placements, the node map), each written
// front to back right after it is allocated. Faulted in 4 KiB at a time, every
// such table costs thousands of page faults, and under a hypervisor a fault costs
// microseconds: a 32 MB node map spent more time in the kernel than in the loop
// that fills it. Advising the freshly reserved block as a huge-page candidate lets
// the kernel fault it 2 MiB at a time.
//
// Example: reserve_advised(node_map, 1'000'000) reserves 32 MB and advises the
// 2 MiB-aligned pages inside it, so filling it takes about 15 faults, not 7,800.
//
// Not done here: no allocation of its own and no pooling; the advice is only a
// hint (ignored where huge pages are unavailable), so nothing observable depends
// on it. Blocks below kAdviseBytes are left alone: they hold at most one huge
// page, and the advice would split the mapping for little gain.
#pragma once

#include <cstddef>
#include <iterator>
#include <vector>

#include "support/huge_pages.h"

namespace brantel::mod {

inline constexpr std::size_t kAdviseBytes = std::size_t{4} << 20;

// Advises the whole 2 MiB pages inside [data, data + bytes) when bytes is at
// least kAdviseBytes.
inline void advise_huge_pages(const void* data, std::size_t bytes) noexcept {
  if (bytes >= kAdviseBytes) support::advise_huge_pages(data, bytes);
}

// Reserves room for `n` elements in an empty `v` and advises the new block
// before anything touches it.
template <typename T>
void reserve_advised(std::vector<T>& v, std::size_t n) {
  v.reserve(n);
  advise_huge_pages(v.data(), v.capacity() * sizeof(T));
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

}  // namespace brantel::mod
