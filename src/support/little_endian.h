// Little-endian loads and stores of fixed-width integers, for the byte formats
// (node records, the blob) and the byte hash.
//
// On a little-endian machine a value's own bytes are the layout, so each is one
// load or store; a loop over the bytes is not always merged into one.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace brantel::support {

template <typename T>
T byteswap(T v) noexcept {
  static_assert(std::is_unsigned_v<T> && (sizeof(T) == 4 || sizeof(T) == 8));
  if constexpr (sizeof(T) == 4) {
    return __builtin_bswap32(v);
  } else {
    return __builtin_bswap64(v);
  }
}

template <typename T>
T read_le(const void* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof(T));
  if constexpr (std::endian::native == std::endian::big) v = byteswap(v);
  return v;
}

template <typename T>
void write_le(void* p, T v) noexcept {
  if constexpr (std::endian::native == std::endian::big) v = byteswap(v);
  std::memcpy(p, &v, sizeof(T));
}

// Copies `n` bytes. Record fields are mostly a few bytes long, where a call to
// memcpy with a run-time size costs more than the copy: up to 16 bytes go as two
// overlapping loads and stores that stay inside both ranges.
inline void copy_bytes(char* dst, const char* src, std::size_t n) noexcept {
  if (n > 16) {
    std::memcpy(dst, src, n);
  } else if (n >= 8) {
    std::uint64_t head;
    std::uint64_t tail;
    std::memcpy(&head, src, 8);
    std::memcpy(&tail, src + n - 8, 8);
    std::memcpy(dst, &head, 8);
    std::memcpy(dst + n - 8, &tail, 8);
  } else if (n >= 4) {
    std::uint32_t head;
    std::uint32_t tail;
    std::memcpy(&head, src, 4);
    std::memcpy(&tail, src + n - 4, 4);
    std::memcpy(dst, &head, 4);
    std::memcpy(dst + n - 4, &tail, 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
  }
}

}  // namespace brantel::support
