#include "store/blob/utf8.h"

#include <cstdint>
#include <cstring>

namespace brantel::blob {

bool is_valid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      // Names and keys are mostly ASCII: skip eight bytes per step while no byte
      // has its high bit set.
      while (n - i >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if ((word & 0x8080808080808080ULL) != 0) break;
        i += 8;
      }
      while (i < n && p[i] < 0x80) ++i;
      continue;
    }
    const unsigned char b0 = p[i];
    const auto cont = [](unsigned char b) { return (b & 0xC0) == 0x80; };
    if (b0 < 0xC2) return false;  // a continuation byte, or C0/C1 (overlong 2-byte forms)
    if (b0 < 0xE0) {
      if (n - i < 2 || !cont(p[i + 1])) return false;
      i += 2;
    } else if (b0 < 0xF0) {
      if (n - i < 3) return false;
      const unsigned char b1 = p[i + 1];
      // E0 needs b1 >= A0 (else overlong); ED needs b1 <= 9F (else a surrogate).
      const unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
      const unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;
      if (b1 < lo || b1 > hi || !cont(p[i + 2])) return false;
      i += 3;
    } else if (b0 < 0xF5) {
      if (n - i < 4) return false;
      const unsigned char b1 = p[i + 1];
      // F0 needs b1 >= 90 (else overlong); F4 needs b1 <= 8F (else above U+10FFFF).
      const unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
      const unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
      if (b1 < lo || b1 > hi || !cont(p[i + 2]) || !cont(p[i + 3])) return false;
      i += 4;
    } else {
      return false;  // F5..FF would start code points above U+10FFFF
    }
  }
  return true;
}

}  // namespace brantel::blob
