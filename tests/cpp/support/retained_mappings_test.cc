#include "support/retained_mappings.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

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

// Whether [p, p + bytes) is still mapped: mincore fails with ENOMEM on a range
// that holds an unmapped page.
bool mapped(const char* p, std::size_t bytes) {
  std::vector<unsigned char> residency((bytes + kPage - 1) / kPage);
  return mincore(const_cast<char*>(p), bytes, residency.data()) == 0;
}

// Maps each block, writes its first page when asked, and hands it to the list.
template <std::size_t N>
void release_new_blocks(char* (&blocks)[N], std::size_t bytes, bool touch) {
  for (char*& b : blocks) {
    b = map(bytes);
    if (touch) std::memset(b, 1, kPage);
    release_mapping(b, bytes);
  }
}

TEST(RetainedMappings, KeepsWhatExceedsItsBoundLazilyFreed) {
  drain();
  const std::size_t quarter = kRetainedBytes / 4;
  char* blocks[5];
  release_new_blocks(blocks, quarter, true);
  char* lazy = blocks[4];
  // Four fill the bound as they are; the fifth is kept lazily freed.
  EXPECT_EQ(retained_bytes(), 5 * quarter);
  EXPECT_EQ(lazily_retained_bytes(), quarter);
  std::vector<char*> taken;
  for (int k = 0; k < 5; ++k) taken.push_back(static_cast<char*>(take_retained(quarter, false)));
  EXPECT_EQ(retained_bytes(), 0u);
  EXPECT_EQ(lazily_retained_bytes(), 0u);
  std::sort(taken.begin(), taken.end());
  std::sort(std::begin(blocks), std::end(blocks));
  EXPECT_TRUE(std::equal(taken.begin(), taken.end(), std::begin(blocks)));
  // Lazily freed memory works as any other once written.
  std::memset(lazy, 9, 2 * kPage);
  EXPECT_EQ(lazy[2 * kPage - 1], 9);
  for (char* b : blocks) munmap(b, quarter);
}

TEST(RetainedMappings, StaysWithinTheLazyBoundByDroppingTheOldest) {
  drain();
  // Never touched, so these cost address space only.
  const std::size_t half = kLazyRetainedBytes / 2;
  char* blocks[3];
  release_new_blocks(blocks, half, false);
  EXPECT_EQ(lazily_retained_bytes(), kLazyRetainedBytes);
  EXPECT_FALSE(mapped(blocks[0], half));  // unmapped to make room
  EXPECT_TRUE(mapped(blocks[1], half));
  EXPECT_EQ(take_retained(half, false), blocks[1]);

  // A mapping larger than the lazy bound is unmapped at once.
  char* huge = map(kLazyRetainedBytes + kPage);
  release_mapping(huge, kLazyRetainedBytes + kPage);
  EXPECT_FALSE(mapped(huge, kPage));
  EXPECT_EQ(retained_bytes(), half);
  drain();
  munmap(blocks[1], half);
}

}  // namespace
}  // namespace brantel::support
