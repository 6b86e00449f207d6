// The symbol table behind Symbol::intern: 16 shards, each with its own lock, a hash
// index from text to in-shard number and an append-only list of texts.
//
// The list is a std::deque, so appending never moves an existing string; the index
// keys and every string_view handed out by Symbol::text() point into it and stay
// valid for the life of the process. The table itself is a function-local static
// that is never destroyed, so no thread can see it torn down at exit.
#include "egraph/symbol.h"

#include <array>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>

#include "support/check.h"
#include "support/hash.h"
#include "support/mutex.h"
#include "support/no_destructor.h"
#include "support/thread_annotations.h"

namespace brantel::egraph {
namespace {

// A fixed seed: the shard of a text must not change within the process, and which
// shard a text lands in is never visible outside the table.
constexpr std::uint64_t kShardSeed = 0x5eed'0f5e'1b01'7ab1ULL;

std::uint64_t text_hash(std::string_view text) noexcept {
  return support::hash_bytes(text.data(), text.size(), kShardSeed);
}

struct TextHash {
  std::size_t operator()(std::string_view text) const noexcept { return text_hash(text); }
};

struct Shard {
  support::PoisonableMutex mu{"brantel-core symbol table poisoned"};
  std::unordered_map<std::string_view, std::uint32_t, TextHash> index BRANTEL_GUARDED_BY(mu);
  std::deque<std::string> texts BRANTEL_GUARDED_BY(mu);
};

std::array<Shard, Symbol::kShardCount>& shards() {
  static support::NoDestructor<std::array<Shard, Symbol::kShardCount>> table;
  return table.get();
}

}  // namespace

std::uint32_t symbol_shard_of(std::string_view text) noexcept {
  // The low bits select the shard; the unordered_map inside mixes the whole hash.
  return static_cast<std::uint32_t>(text_hash(text) & (Symbol::kShardCount - 1));
}

Symbol Symbol::pack(std::uint32_t shard, std::uint32_t index) {
  if (index > kMaxIndex) {
    support::panic("Can't represent index " + std::to_string(index) + " in a Symbol");
  }
  BRANTEL_CHECK(shard < kShardCount && index > 0, "symbol shard and index are in range");
  return Symbol((shard << kIndexBits) | index);
}

Symbol Symbol::intern(std::string_view text) {
  const std::uint32_t shard_number = symbol_shard_of(text);
  Shard& shard = shards()[shard_number];
  std::uint32_t index = 0;
  {
    support::PoisonGuard guard(shard.mu);
    auto found = shard.index.find(text);
    if (found != shard.index.end()) return Symbol((shard_number << kIndexBits) | found->second);
    const std::size_t next = shard.texts.size() + 1;
    index = next > kMaxIndex ? kMaxIndex + 1 : static_cast<std::uint32_t>(next);
    if (index <= kMaxIndex) {
      const std::string& stored = shard.texts.emplace_back(text);
      shard.index.emplace(std::string_view(stored), index);
    }
  }
  // pack() panics on overflow only after the guard is gone: the shard is unchanged,
  // so it must not be left poisoned for texts that are already in it.
  return pack(shard_number, index);
}

std::size_t Symbol::interned_count() {
  std::size_t count = 0;
  for (Shard& shard : shards()) {
    support::PoisonGuard guard(shard.mu);
    count += shard.texts.size();
  }
  return count;
}

std::string_view Symbol::text() const {
  BRANTEL_CHECK(value_ != 0, "the null symbol has no text");
  Shard& shard = shards()[this->shard()];
  support::PoisonGuard guard(shard.mu);
  return support::at_checked(shard.texts, this->index() - 1);
}

}  // namespace brantel::egraph
