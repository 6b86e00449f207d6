#include "egraph/huge_page_allocator.h"

#include <cstdint>

#include "support/huge_pages.h"
#include "support/retained_mappings.h"

namespace brantel::egraph::huge_pages {
namespace {

std::size_t round_up(std::size_t bytes) {
  return (bytes + support::kHugePageBytes - 1) & ~(support::kHugePageBytes - 1);
}

}  // namespace

void* allocate(std::size_t bytes) {
  const std::size_t length = round_up(bytes);
  void* block = support::take_retained(length, true);
  if (block == nullptr) block = support::map_huge_aligned(length);
  // Advice only: without transparent huge pages the mapping works as usual.
  support::advise_huge_pages(block, length);
  return block;
}

void deallocate(void* p, std::size_t bytes) noexcept {
  if (p != nullptr) support::release_mapping(p, round_up(bytes));
}

}  // namespace brantel::egraph::huge_pages
