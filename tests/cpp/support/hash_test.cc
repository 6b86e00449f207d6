#include "support/hash.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <vector>

namespace brantel::support {
namespace {

// Every string of up to `max_len` letters from a 16-letter alphabet, the empty one
// included: short enough for every tail case, long enough to pass one block.
std::vector<std::string> short_strings(std::size_t max_len) {
  std::vector<std::string> out{""};
  for (std::size_t from = 0; out.back().size() < max_len;) {
    const std::size_t to = out.size();
    for (std::size_t k = from; k < to; ++k) {
      for (char c = 'a'; c < 'a' + 16; ++c) out.push_back(out[k] + c);
    }
    from = to;
  }
  return out;
}

TEST(HashBytes, EveryByteOfAShortStringCounts) {
  // 1 + 16 + 256 + 4096 + 65536 strings: any byte the tail skipped, at any length
  // up to four, would make two of them collide.
  for (const std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{0x1234'5678'9abc'def0}}) {
    std::unordered_set<std::uint64_t> seen;
    const std::vector<std::string> strings = short_strings(4);
    for (const std::string& s : strings) seen.insert(hash_bytes(s.data(), s.size(), seed));
    EXPECT_EQ(seen.size(), strings.size()) << "seed " << seed;
  }
}

TEST(HashBytes, ChangingAnyOneByteChangesTheHash) {
  // Lengths around every boundary of the loads: 1-3, 4-7, 8, 9-15, 16, 17-31.
  for (std::size_t len = 1; len <= 33; ++len) {
    std::string base(len, 'x');
    const std::uint64_t h = hash_bytes(base.data(), base.size(), 7);
    for (std::size_t at = 0; at < len; ++at) {
      std::string changed = base;
      changed[at] = 'y';
      EXPECT_NE(hash_bytes(changed.data(), changed.size(), 7), h) << "length " << len << ", byte " << at;
    }
    // A trailing zero byte is not the same string.
    std::string longer = base + '\0';
    EXPECT_NE(hash_bytes(longer.data(), longer.size(), 7), h) << "length " << len;
  }
}

}  // namespace
}  // namespace brantel::support
