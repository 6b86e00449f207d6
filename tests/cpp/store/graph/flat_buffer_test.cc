#include "store/graph/flat_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace brantel::store {
namespace {

// Past the huge-page size the buffer grows through its own mapping; every
// growth on the way must keep what was there.
TEST(FlatBuffer, GrowthKeepsTheContents) {
  FlatBuffer<std::uint64_t> ids;
  FlatBuffer<char> bytes;
  const std::size_t count = 3 * detail::RawStorage::kHugeBytes / sizeof(std::uint64_t);
  for (std::size_t i = 0; i < count; ++i) {
    ids.push_back(i * 0x9e3779b97f4a7c15ULL);
    const char chunk[3] = {static_cast<char>(i), static_cast<char>(i >> 8), static_cast<char>(i >> 16)};
    bytes.append(chunk, 3);
  }
  ASSERT_EQ(ids.size(), count);
  ASSERT_EQ(bytes.size(), 3 * count);
  for (std::size_t i = 0; i < count; ++i) {
    ASSERT_EQ(ids[i], i * 0x9e3779b97f4a7c15ULL) << i;
    ASSERT_EQ(bytes[3 * i + 2], static_cast<char>(i >> 16)) << i;
  }
}

// Room reserved to an odd size, as a reader that knows its byte count asks for,
// leaves a mapping that is no whole number of huge pages; growing it again must
// still keep the contents (the huge-page advice must not split the mapping).
TEST(FlatBuffer, GrowthFromOddlySizedLargeRoomKeepsTheContents) {
  for (const std::size_t room : {detail::RawStorage::kMapBytes + 4097, detail::RawStorage::kHugeBytes + 12345}) {
    FlatBuffer<char> bytes;
    bytes.reserve(room);
    const std::size_t count = 3 * room + 7;
    for (std::size_t i = 0; i < count; ++i) bytes.push_back(static_cast<char>(i * 31 + (i >> 13)));
    ASSERT_EQ(bytes.size(), count);
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(bytes[i], static_cast<char>(i * 31 + (i >> 13))) << room << " at " << i;
  }
}

TEST(FlatBuffer, ZeroedIsZeroEvenWhereMemoryWasUsedBefore) {
  for (std::size_t count : {std::size_t{16}, std::size_t{1} << 12, std::size_t{3} << 20}) {
    {
      FlatBuffer<std::uint32_t> dirty;
      for (std::size_t i = 0; i < count; ++i) dirty.push_back(0xdeadbeef);
    }
    const auto zeroed = FlatBuffer<std::uint32_t>::zeroed(count);
    ASSERT_EQ(zeroed.size(), count);
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(zeroed[i], 0u) << count << " at " << i;
  }
}

TEST(FlatBuffer, CopiesAreIndependentAndCompareByContents) {
  FlatBuffer<int> a;
  for (int i = 0; i < 1000; ++i) a.push_back(i);
  FlatBuffer<int> b = a;
  EXPECT_EQ(a, b);
  EXPECT_EQ(b.capacity(), b.size());  // a copy is sized to the contents
  b[10] = -1;
  EXPECT_EQ(a[10], 10);
  EXPECT_FALSE(a == b);
  FlatBuffer<int> c;
  c.reserve(5000);
  c.assign(a.data(), a.size());
  EXPECT_EQ(c, a);  // capacity is not part of equality
  FlatBuffer<int> moved = std::move(c);
  EXPECT_EQ(moved, a);
  EXPECT_TRUE(c.empty());  // NOLINT(bugprone-use-after-move): a moved-from buffer is empty
  c.push_back(7);
  EXPECT_EQ(c.size(), 1u);
  b = a;
  EXPECT_EQ(b, a);
  EXPECT_EQ(FlatBuffer<int>(), FlatBuffer<int>::zeroed(0));
}

}  // namespace
}  // namespace brantel::store
