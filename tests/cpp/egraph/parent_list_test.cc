#include "egraph/parent_list.h"

#include <gtest/gtest.h>

#include <numeric>
#include <set>
#include <vector>

namespace brantel::egraph {
namespace {

std::vector<Id> entries(const ParentList& list) { return {list.begin(), list.end()}; }

TEST(ParentList, SpillsIntoThePoolAndKeepsItsOrder) {
  IdPool pool;
  ParentList list;
  std::vector<Id> expected;
  for (Id id = 0; id < 100; ++id) {
    list.push_back(id * 3, pool);
    expected.push_back(id * 3);
    ASSERT_EQ(entries(list), expected) << "after " << id + 1 << " entries";
  }
  EXPECT_FALSE(list.is_inline());
}

TEST(ParentList, AppendFromEmptiesTheSourceAndRecyclesItsBlock) {
  IdPool pool;
  ParentList small;
  ParentList large;
  for (Id id : {1u, 2u, 3u}) small.push_back(id, pool);  // a 4-id block
  for (Id id = 10; id < 20; ++id) large.push_back(id, pool);
  const Id* freed = small.data();
  large.append_from(std::move(small), pool);
  EXPECT_TRUE(small.empty());
  EXPECT_TRUE(small.is_inline());
  std::vector<Id> expected(10);
  std::iota(expected.begin(), expected.end(), 10u);
  expected.insert(expected.end(), {1u, 2u, 3u});
  EXPECT_EQ(entries(large), expected);
  // The next block of that size is the one given back.
  EXPECT_EQ(pool.allocate(4), freed);
}

TEST(IdPool, BlocksNeverOverlapAcrossChunksAndSizes) {
  IdPool pool;
  std::vector<std::pair<Id*, std::uint32_t>> blocks;
  // Sizes from 4 ids to past the first chunks, so that some blocks need a chunk
  // of their own and some start a new one with the old one partly used.
  for (int round = 0; round < 40; ++round) {
    for (std::uint32_t capacity = 4; capacity <= 4096; capacity *= 4) {
      blocks.emplace_back(pool.allocate(capacity), capacity);
    }
  }
  // Every block is writable in full and keeps what was written to it.
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    std::fill_n(blocks[k].first, blocks[k].second, static_cast<Id>(k));
  }
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    const auto [block, capacity] = blocks[k];
    ASSERT_EQ(std::count(block, block + capacity, static_cast<Id>(k)), capacity) << "block " << k;
  }
}

}  // namespace
}  // namespace brantel::egraph
