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

}  // namespace brantel::support
