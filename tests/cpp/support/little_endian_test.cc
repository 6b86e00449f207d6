#include "support/little_endian.h"

#include <gtest/gtest.h>

#include <string>

namespace brantel::support {
namespace {

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
