// Seeded 64-bit hashing for hash-consing tables.
//
// Types take part through a hash_value(HashState, const T&) overload that feeds
// exactly the fields their operator== compares, in the same order. The seed is
// chosen by the table, so no caller can pick inputs that collide in every table.
#pragma once

#include <bit>
#include <cstdint>
#include <random>
#include <span>
#include <string_view>

#include "support/little_endian.h"

namespace brantel::support {

// 128-bit multiply folded to 64 bits: the mixing step of the byte hash below.
inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline std::uint64_t load_le64(const unsigned char* p) noexcept { return read_le<std::uint64_t>(p); }

inline constexpr std::uint64_t kHashPrime0 = 0xa0761d6478bd642fULL;
inline constexpr std::uint64_t kHashPrime1 = 0xe7037ed1a0b428dbULL;
inline constexpr std::uint64_t kHashPrime2 = 0x8ebc6af09c88c6e3ULL;

// Hash of a byte string under a seed; the length is mixed in, so no input is a
// suffix-collision of another.
inline std::uint64_t hash_bytes(const void* data, std::size_t len, std::uint64_t seed) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint64_t h = seed ^ mix(len ^ kHashPrime0, kHashPrime1);
  std::size_t i = 0;
  for (; i + 16 <= len; i += 16) {
    h = mix(load_le64(p + i) ^ kHashPrime1, load_le64(p + i + 8) ^ h);
  }
  if (i + 8 <= len) {
    h = mix(load_le64(p + i) ^ kHashPrime2, h ^ kHashPrime0);
    i += 8;
  }
  if (i < len) {
    // The last eight bytes, overlapping some already mixed, when there are
    // eight; below that (and then i is 0) two overlapping four-byte loads, or the
    // first, middle and last byte of one to three. Every byte still reaches the
    // hash, and inputs of different lengths start from different states. Loads
    // rather than a copy into a buffer: reading eight bytes just stored one by one
    // stalls the processor, and labels like "op|add" are that short.
    std::uint64_t tail = 0;
    if (len >= 8) {
      tail = load_le64(p + len - 8);
    } else if (len >= 4) {
      tail = read_le<std::uint32_t>(p) | (std::uint64_t{read_le<std::uint32_t>(p + len - 4)} << 32);
    } else {
      tail = std::uint64_t{p[0]} | (std::uint64_t{p[len / 2]} << 8) | (std::uint64_t{p[len - 1]} << 16);
    }
    h = mix(tail ^ kHashPrime1, h ^ kHashPrime2);
  }
  return mix(h ^ kHashPrime0, h ^ kHashPrime2);
}

// Incremental hash state for structured values.
class HashState {
 public:
  explicit HashState(std::uint64_t seed) noexcept : h_(seed ^ kHashPrime2) {}
  HashState& add_u64(std::uint64_t v) noexcept {
    h_ = mix(h_ ^ v, kHashPrime0);
    return *this;
  }
  HashState& add_bytes(std::string_view s) noexcept {
    h_ = mix(h_ ^ hash_bytes(s.data(), s.size(), kHashPrime1), kHashPrime2);
    return *this;
  }
  std::uint64_t finish() const noexcept { return mix(h_, kHashPrime1); }

 private:
  std::uint64_t h_;
};

// A fresh random seed per table; never visible.
inline std::uint64_t random_seed() {
  thread_local std::mt19937_64 gen{std::random_device{}()};
  return gen();
}

}  // namespace brantel::support
