#include "support/huge_pages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

namespace brantel::support {
namespace {

// Element counts below, at and well above the size that gets advised, so both
// the plain and the advised path run.
constexpr std::size_t kCounts[] = {0, 1, 1000, kAdviseBytes / sizeof(std::uint64_t),
                                   3 * kAdviseBytes / sizeof(std::uint64_t) + 17};

TEST(HugePages, GrowAdvisedKeepsEveryElementInOrder) {
  for (const std::size_t n : kCounts) {
    std::vector<std::uint64_t> v(n);
    std::iota(v.begin(), v.end(), std::uint64_t{7});
    grow_advised(v, 2 * n + 5);
    ASSERT_EQ(v.size(), n) << n;
    EXPECT_GE(v.capacity(), 2 * n + 5) << n;
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(v[i], i + 7) << "element " << i << " of " << n;
  }
}

TEST(HugePages, GrowAdvisedLeavesARoomyVectorAlone) {
  std::vector<std::string> v = {"a", "b"};
  v.reserve(64);
  const std::string* before = v.data();
  grow_advised(v, 10);
  EXPECT_EQ(v.data(), before);
  EXPECT_EQ(v, (std::vector<std::string>{"a", "b"}));
}

TEST(HugePages, GrowAdvisedMovesElementsThatOwnMemory) {
  std::vector<std::string> v = {std::string(100, 'x'), "short"};
  grow_advised(v, 1000);
  EXPECT_EQ(v, (std::vector<std::string>{std::string(100, 'x'), "short"}));
}

TEST(HugePages, AssignAdvisedReplacesTheContents) {
  for (const std::size_t n : kCounts) {
    std::vector<std::uint64_t> v = {1, 2, 3};
    assign_advised(v, n, ~std::uint64_t{0});
    ASSERT_EQ(v.size(), n) << n;
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(v[i], ~std::uint64_t{0}) << "element " << i << " of " << n;
  }
}

TEST(HugePages, ReserveAdvisedReservesWithoutAddingElements) {
  std::vector<std::uint64_t> v;
  reserve_advised(v, kCounts[4]);
  EXPECT_TRUE(v.empty());
  EXPECT_GE(v.capacity(), kCounts[4]);
  // The advice is only a hint: the block stays ordinary, writable memory.
  v.resize(kCounts[4], 5);
  EXPECT_EQ(v.back(), 5u);
}

}  // namespace
}  // namespace brantel::support
