// UTF-8 decoding: the blob reader validates untrusted strings with it, the DOT
// writer walks store strings with it.
#pragma once

#include <cstddef>
#include <string_view>

namespace brantel::support {

// The length of the well-formed UTF-8 sequence at text[i], with its code point
// in `cp`; 0 when the bytes there are not one (an overlong form, a surrogate
// U+D800..U+DFFF, a code point above U+10FFFF, a stray or missing continuation
// byte).
inline std::size_t decode_utf8(std::string_view text, std::size_t i, char32_t& cp) noexcept {
  const auto b0 = static_cast<unsigned char>(text[i]);
  std::size_t len;
  char32_t min;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - i < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// True when all of `text` is well-formed UTF-8: exactly the byte strings that
// Rust's str::from_utf8 accepts.
inline bool is_valid_utf8(std::string_view text) noexcept {
  char32_t cp;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t len = decode_utf8(text, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

}  // namespace brantel::support
