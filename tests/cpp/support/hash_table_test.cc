#include "support/hash_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/hash.h"

namespace brantel::support {
namespace {

// Entries are indices into a list the test owns, as the store's intern table
// uses it; a weak hash (every key on 8 hashes) forces long probe runs.
TEST(HashTable, FindsWhatItStoredThroughGrowthAndCollisions) {
  for (const bool weak : {false, true}) {
    std::vector<std::string> keys;
    HashTable<std::uint32_t> table;
    auto hash = [&](const std::string& s) {
      const std::uint64_t h = hash_bytes(s.data(), s.size(), 7);
      return weak ? (h % 8) << 40 : h;
    };
    auto intern = [&](const std::string& s) {
      auto [entry, inserted] = table.find_or_insert(
          hash(s), [&](std::uint32_t i) { return keys[i] == s; },
          [&] { return static_cast<std::uint32_t>(keys.size()); });
      if (inserted) keys.push_back(s);
      return std::pair{entry, inserted};
    };
    for (int i = 0; i < 3000; ++i) EXPECT_EQ(intern(std::to_string(i)), std::pair(std::uint32_t(i), true));
    for (int i = 2999; i >= 0; --i) EXPECT_EQ(intern(std::to_string(i)), std::pair(std::uint32_t(i), false));
    EXPECT_EQ(table.size(), 3000U);
    EXPECT_EQ(table.find(hash("x"), [&](std::uint32_t i) { return keys[i] == "x"; }), nullptr);
    std::size_t seen = 0;
    table.for_each([&](std::uint32_t) { ++seen; });
    EXPECT_EQ(seen, 3000U);
  }
}

}  // namespace
}  // namespace brantel::support
