#include "support/little_endian.h"

#include <gtest/gtest.h>

#include <string>

namespace brantel::support {
namespace {

// Every length through each of the copy's branches, at an unaligned source, into
// a destination whose neighbours must stay untouched.
TEST(CopyBytes, CopiesExactlyTheRangeAtEveryLength) {
  std::string source(64, '\0');
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>('a' + i % 26);
  for (std::size_t n = 0; n <= 40; ++n) {
    std::string target(n + 8, '#');
    copy_bytes(target.data() + 4, source.data() + 3, n);
    EXPECT_EQ(target.substr(0, 4), "####") << n;
    EXPECT_EQ(target.substr(4, n), source.substr(3, n)) << n;
    EXPECT_EQ(target.substr(4 + n), "####") << n;
  }
}

TEST(LittleEndian, FieldsRoundTripInByteOrder) {
  char bytes[8];
  write_le<std::uint32_t>(bytes, 0x04030201u);
  EXPECT_EQ(std::string(bytes, 4), std::string("\x01\x02\x03\x04", 4));
  EXPECT_EQ(read_le<std::uint32_t>(bytes), 0x04030201u);
  write_le<std::uint64_t>(bytes, 0x0807060504030201ull);
  EXPECT_EQ(read_le<std::uint64_t>(bytes), 0x0807060504030201ull);
  EXPECT_EQ(bytes[7], 8);
}

}  // namespace
}  // namespace brantel::support
