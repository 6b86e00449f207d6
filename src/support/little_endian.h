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

// Copies `n` bytes, sizeof(Word) <= n <= 2 * sizeof(Word), as a head and a tail
// word that overlap in the middle and stay inside both ranges.
template <typename Word>
void copy_head_and_tail(char* dst, const char* src, std::size_t n) noexcept {
  Word head;
  Word tail;
  std::memcpy(&head, src, sizeof(Word));
  std::memcpy(&tail, src + n - sizeof(Word), sizeof(Word));
  std::memcpy(dst, &head, sizeof(Word));
  std::memcpy(dst + n - sizeof(Word), &tail, sizeof(Word));
}

// Copies `n` bytes. Record fields are mostly a few bytes long, where a call to
// memcpy with a run-time size costs more than the copy.
inline void copy_bytes(char* dst, const char* src, std::size_t n) noexcept {
  if (n > 16) {
    std::memcpy(dst, src, n);
  } else if (n >= 8) {
    copy_head_and_tail<std::uint64_t>(dst, src, n);
  } else if (n >= 4) {
    copy_head_and_tail<std::uint32_t>(dst, src, n);
  } else {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
  }
}

}  // namespace brantel::support
