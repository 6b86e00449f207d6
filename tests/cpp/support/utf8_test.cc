#include "support/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace brantel::support {
namespace {

// The definition, decoded the slow way: a lead byte gives the length, the code
// point must need exactly that length, and must be a scalar value.
bool naive_valid(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    int len;
    std::uint32_t cp;
    if (b < 0x80) {
      len = 1, cp = b;
    } else if (b >> 5 == 0x6) {
      len = 2, cp = b & 0x1F;
    } else if (b >> 4 == 0xE) {
      len = 3, cp = b & 0x0F;
    } else if (b >> 3 == 0x1E) {
      len = 4, cp = b & 0x07;
    } else {
      return false;
    }
    if (s.size() - i < static_cast<std::size_t>(len)) return false;
    for (int k = 1; k < len; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if (c >> 6 != 0x2) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    const std::uint32_t min[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += static_cast<std::size_t>(len);
  }
  return true;
}

TEST(Utf8, Table) {
  struct Row {
    std::string bytes;
    bool valid;
  };
  const Row rows[] = {
      {"", true},
      {"plain ascii text longer than eight bytes", true},
      {std::string("\0", 1), true},
      {"\xc3\xa9", true},
      {"\xe2\x82\xac", true},
      {"\xf0\x9f\x98\x80", true},
      {"\xf4\x8f\xbf\xbf", true},   // U+10FFFF
      {"\xed\x9f\xbf", true},       // U+D7FF
      {"\xee\x80\x80", true},       // U+E000
      {"\xff\xfe", false},
      {"\x80", false},              // stray continuation
      {"\xc0\x80", false},          // overlong NUL
      {"\xc1\xbf", false},          // overlong
      {"\xe0\x80\x80", false},      // overlong
      {"\xe0\x9f\xbf", false},      // overlong U+07FF
      {"\xf0\x80\x80\x80", false},  // overlong
      {"\xf0\x8f\xbf\xbf", false},  // overlong U+FFFF
      {"\xed\xa0\x80", false},      // U+D800
      {"\xed\xbf\xbf", false},      // U+DFFF
      {"\xf4\x90\x80\x80", false},  // U+110000
      {"\xf5\x80\x80\x80", false},
      {"\xc3", false},              // missing continuation at the end
      {"\xe2\x82", false},
      {"\xc3(", false},
      {"abcdefgh\xc3", false},      // failure right after the eight-byte fast path
      {("abcdefg\xc3\xa9" "abcdefgh"), true},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(is_valid_utf8(r.bytes), r.valid) << testing::PrintToString(r.bytes);
    EXPECT_EQ(naive_valid(r.bytes), r.valid) << testing::PrintToString(r.bytes);
  }
}

// Every sequence of one to three bytes, and every four-byte sequence whose lead
// byte is F0..F4 with its second byte varied (the rest fixed at a continuation),
// agrees with the naive decoder.
TEST(Utf8, ExhaustiveShortSequences) {
  std::string s;
  for (int a = 0; a < 256; ++a) {
    s.assign(1, static_cast<char>(a));
    ASSERT_EQ(is_valid_utf8(s), naive_valid(s)) << a;
    for (int b = 0; b < 256; ++b) {
      s.assign({static_cast<char>(a), static_cast<char>(b)});
      ASSERT_EQ(is_valid_utf8(s), naive_valid(s)) << a << " " << b;
      for (int c = 0; c < 256; ++c) {
        s.assign({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)});
        ASSERT_EQ(is_valid_utf8(s), naive_valid(s)) << a << " " << b << " " << c;
        s.push_back('\x80');
        ASSERT_EQ(is_valid_utf8(s), naive_valid(s)) << a << " " << b << " " << c << " 80";
      }
    }
  }
}

}  // namespace
}  // namespace brantel::support
