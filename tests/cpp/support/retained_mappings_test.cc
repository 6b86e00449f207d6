#include "support/retained_mappings.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>

#include "support/huge_pages.h"

namespace brantel::support {
namespace {

char* map(std::size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  EXPECT_NE(p, MAP_FAILED);
  return static_cast<char*>(p);
}

// Other tests in the binary may have left mappings behind; start from none.
void drain() {
  while (void* p = take_retained(4096, false)) munmap(p, 4096);
}

constexpr std::size_t kPage = 4096;

TEST(RetainedMappings, TakesTheHeadOfTheSmallestFitAndKeepsTheRest) {
  drain();
  char* small = map(4 * kPage);
  char* large = map(16 * kPage);
  std::memset(large, 7, 16 * kPage);
  release_mapping(large, 16 * kPage);
  release_mapping(small, 4 * kPage);
  EXPECT_EQ(retained_bytes(), 20 * kPage);

  EXPECT_EQ(take_retained(3 * kPage, false), small);  // smallest that fits
  char* head = static_cast<char*>(take_retained(10 * kPage, false));
  EXPECT_EQ(head, large);
  EXPECT_EQ(head[10 * kPage - 1], 7);  // the memory is handed over as it was
  EXPECT_EQ(take_retained(6 * kPage, false), large + 10 * kPage);  // the rest of it
  EXPECT_EQ(take_retained(kPage, false), static_cast<void*>(small + 3 * kPage));
  EXPECT_EQ(retained_bytes(), 0u);
  EXPECT_EQ(take_retained(kPage, false), nullptr);
  munmap(small, 4 * kPage);
  munmap(large, 16 * kPage);
}

TEST(RetainedMappings, HugeAlignedTakesSkipUnalignedRanges) {
  drain();
  char* block = static_cast<char*>(map_huge_aligned(2 * kHugePageBytes));
  // The unaligned tail of the first huge page, then an aligned range.
  release_mapping(block + kPage, kHugePageBytes - kPage);
  release_mapping(block + kHugePageBytes, kHugePageBytes);
  EXPECT_EQ(take_retained(kPage, true), block + kHugePageBytes);
  EXPECT_EQ(take_retained(kPage, true), nullptr);
  EXPECT_EQ(take_retained(kPage, false), block + kPage);
  drain();
  munmap(block, 2 * kHugePageBytes);
}

TEST(RetainedMappings, StaysWithinItsBoundByDroppingTheOldest) {
  drain();
  const std::size_t quarter = kRetainedBytes / 4;
  char* blocks[5];
  for (char*& b : blocks) {
    b = map(quarter);
    release_mapping(b, quarter);
  }
  EXPECT_EQ(retained_bytes(), kRetainedBytes);
  // The first one was unmapped to make room; the newest four remain.
  EXPECT_EQ(take_retained(quarter, false), blocks[1]);
  // A mapping larger than the bound is unmapped at once.
  char* huge = map(kRetainedBytes + kPage);
  release_mapping(huge, kRetainedBytes + kPage);
  EXPECT_EQ(retained_bytes(), 3 * quarter);
  drain();
  munmap(blocks[1], quarter);
}

}  // namespace
}  // namespace brantel::support
