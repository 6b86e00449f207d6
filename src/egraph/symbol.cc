// The symbol table behind Symbol::intern: 16 shards, each with its own lock, a hash
// index from text to in-shard number and an append-only list of texts.
//
// The texts live in a deque, which never moves an element it holds, so every
// string_view Symbol::text() hands out stays valid for the life of the process.
// The index holds only in-shard numbers and compares candidates with the stored
// texts. The table itself is a function-local static that is never destroyed, so no
// thread can see it torn down at exit.
#include "egraph/symbol.h"

#include <array>
#include <deque>
#include <string>

#include "support/check.h"
#include "support/hash.h"
#include "support/hash_table.h"
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

// Whether an in-shard number (from 1) names text.
struct TextIs {
  const std::deque<std::string>& texts;
  std::string_view text;
  bool operator()(std::uint32_t number) const { return texts[number - 1] == text; }
};

class Shard {
 public:
  support::PoisonableMutex mu{"brantel-core symbol table poisoned"};

  // The in-shard number of text, or 0 when it is not interned.
  std::uint32_t find(std::string_view text, std::uint64_t hash) const BRANTEL_REQUIRES(mu) {
    const std::uint32_t* found = index_.find(hash, is_text(text));
    return found == nullptr ? 0 : *found;
  }

  // Stores text under the next number, which the caller has checked is in range.
  std::uint32_t insert(std::string_view text, std::uint64_t hash) BRANTEL_REQUIRES(mu) {
    // Reserved first, so a failed allocation leaves the index and the texts agreeing.
    index_.reserve(texts_.size() + 1);
    texts_.emplace_back(text);
    const auto number = static_cast<std::uint32_t>(texts_.size());
    index_.find_or_insert(hash, is_text(text), [&] { return number; });
    return number;
  }

  std::size_t size() const BRANTEL_REQUIRES(mu) { return texts_.size(); }
  std::string_view text(std::uint32_t number) const BRANTEL_REQUIRES(mu) {
    return support::at_checked(texts_, number - 1);
  }

 private:
  // Recognises the entry of text; made while mu is held, and used only then.
  TextIs is_text(std::string_view text) const BRANTEL_REQUIRES(mu) { return {texts_, text}; }

  // In-shard numbers, from 1.
  support::HashTable<std::uint32_t> index_ BRANTEL_GUARDED_BY(mu);
  std::deque<std::string> texts_ BRANTEL_GUARDED_BY(mu);
};

std::array<Shard, Symbol::kShardCount>& shards() {
  static support::NoDestructor<std::array<Shard, Symbol::kShardCount>> table;
  return table.get();
}

}  // namespace

std::uint32_t symbol_shard_of(std::string_view text) noexcept {
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
  const std::uint64_t hash = text_hash(text);
  const auto shard_number = static_cast<std::uint32_t>(hash & (kShardCount - 1));
  Shard& shard = shards()[shard_number];
  std::uint32_t index = 0;
  {
    support::PoisonGuard guard(shard.mu);
    if (const std::uint32_t found = shard.find(text, hash); found != 0) {
      return Symbol((shard_number << kIndexBits) | found);
    }
    const std::size_t next = shard.size() + 1;
    index = next > kMaxIndex ? kMaxIndex + 1 : shard.insert(text, hash);
  }
  // pack() panics on overflow only after the guard is gone: the shard is unchanged,
  // so it must not be left poisoned for texts that are already in it.
  return pack(shard_number, index);
}

std::size_t Symbol::interned_count() {
  std::size_t count = 0;
  for (Shard& shard : shards()) {
    support::PoisonGuard guard(shard.mu);
    count += shard.size();
  }
  return count;
}

std::string_view Symbol::text() const {
  BRANTEL_CHECK(value_ != 0, "the null symbol has no text");
  Shard& shard = shards()[this->shard()];
  support::PoisonGuard guard(shard.mu);
  return shard.text(this->index());
}

}  // namespace brantel::egraph
