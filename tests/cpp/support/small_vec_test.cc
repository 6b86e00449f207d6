#include "support/small_vec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

namespace brantel::support {
namespace {

// Bytes written in place must survive the move from the inline buffer to the
// heap and every doubling after it, as the add path writes records this way.
TEST(SmallVec, AppendedBytesSurviveGrowth) {
  SmallVec<char, 8> bytes;
  std::string expected;
  for (int k = 0; k < 40; ++k) {
    const std::string piece = std::to_string(k * 7919);
    std::memcpy(bytes.append_uninitialized(piece.size()), piece.data(), piece.size());
    expected += piece;
    ASSERT_EQ(std::string_view(bytes.data(), bytes.size()), expected);
  }
  bytes.truncate(3);
  bytes.push_back('!');
  EXPECT_EQ(std::string_view(bytes.data(), bytes.size()), expected.substr(0, 3) + "!");
}

}  // namespace
}  // namespace brantel::support
