#include "egraph/huge_page_allocator.h"

#include <sys/mman.h>

#include <cstdint>

#include "support/huge_pages.h"

namespace brantel::egraph::huge_pages {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t round_up(std::size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

}  // namespace

void* allocate(std::size_t bytes) {
  const std::size_t length = round_up(bytes);
  // Over-map by one huge page and trim both ends, so the block starts on a 2 MiB
  // boundary: only aligned 2 MiB ranges can be backed by huge pages.
  const std::size_t mapped = length + kHugePage;
  void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const std::uintptr_t tail = aligned + length;
  const std::uintptr_t end = start + mapped;
  if (end > tail) munmap(reinterpret_cast<void*>(tail), end - tail);
  void* block = reinterpret_cast<void*>(aligned);
  // Advice only: without transparent huge pages the mapping works as usual.
  support::advise_huge_pages(block, length);
  return block;
}

void deallocate(void* p, std::size_t bytes) noexcept {
  if (p != nullptr) munmap(p, round_up(bytes));
}

}  // namespace brantel::egraph::huge_pages
