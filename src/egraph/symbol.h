// Symbol: a process-wide interned string, named by a non-zero 32-bit value.
//
// What it computes: intern(text) returns the same Symbol for the same text, from any
// thread, for the life of the process; text() gives the characters back.
//
// Phases of an intern: (1) hash the text and pick one of 16 shards from the hash;
// (2) under that shard's lock, look the text up in the shard's index; (3) on a miss,
// append the text to the shard's list, whose n-th entry (from 1) is the in-shard
// number. The value packs the shard into the top 4 bits and the number into the low
// 28 bits.
//
// Example: the first text to land in shard 3 gets value 0x30000001; the second text
// in shard 0 gets 0x00000002. Symbol{} (value 0) is never handed out, so the e-graph
// uses it as "no operator".
//
// Non-goals: texts are never freed, and Symbol order is by value, not by text; it is
// only used to sort e-nodes within one process.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brantel::egraph {

class Symbol {
 public:
  static constexpr std::uint32_t kShardCount = 16;
  static constexpr std::uint32_t kShardBits = 4;
  static constexpr std::uint32_t kIndexBits = 28;
  // 0x0FFFFFFF would make the packed value of shard 15 all ones; it is refused too,
  // which keeps every value strictly below the top of the 28-bit field.
  static constexpr std::uint32_t kMaxIndex = 0x0FFFFFFE;

  constexpr Symbol() noexcept = default;

  static Symbol intern(std::string_view text);

  // Packs a shard and an in-shard number (from 1); panics with
  // "Can't represent index {} in a Symbol" when the number does not fit.
  static Symbol pack(std::uint32_t shard, std::uint32_t index);

  // How many texts the process has interned so far, over all shards.
  static std::size_t interned_count();
  // The interned characters; they stay valid for the life of the process.
  std::string_view text() const;

  constexpr std::uint32_t value() const noexcept { return value_; }
  constexpr std::uint32_t shard() const noexcept { return value_ >> kIndexBits; }
  constexpr std::uint32_t index() const noexcept { return value_ & ((1u << kIndexBits) - 1); }
  constexpr bool is_null() const noexcept { return value_ == 0; }

  friend constexpr bool operator==(Symbol, Symbol) noexcept = default;
  friend constexpr std::strong_ordering operator<=>(Symbol, Symbol) noexcept = default;

 private:
  constexpr explicit Symbol(std::uint32_t value) noexcept : value_(value) {}
  std::uint32_t value_ = 0;
};

// The shard a text interns into; exposed so tests can aim at one shard.
std::uint32_t symbol_shard_of(std::string_view text) noexcept;

}  // namespace brantel::egraph
