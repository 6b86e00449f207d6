// The symbol table behind Symbol::intern: 16 shards, each with its own lock, a hash
// index from text to in-shard number and an append-only list of texts.
//
// A shard copies each text once into chunks that are never moved or freed, so
// every string_view Symbol::text() hands out stays valid for the life of the
// process. The index is a flat open-addressing table of 8-byte slots (32 bits of
// the hash and the in-shard number): a look-up costs one slot and, on a tag hit,
// one compare with the stored text. The engine interns one text per distinct
// unmatched label of the largest graph it has reduced, a million for a graph of
// unique constants, so a node per entry (a hash map's) would dominate the first
// reduction of such a graph. The table itself is a function-local static that is
// never destroyed, so no thread can see it torn down at exit.
#include "egraph/symbol.h"

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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

// Append-only storage for the texts of one shard.
class TextChunks {
 public:
  std::string_view store(std::string_view text) {
    char* at = nullptr;
    if (text.size() > kChunkBytes / 4) {
      // A long text gets a block of its own; the current chunk's tail stays in
      // use for the texts after it.
      at = keep(text.size());
    } else {
      if (text.size() > left_) {
        cursor_ = keep(kChunkBytes);
        left_ = kChunkBytes;
      }
      at = cursor_;
      cursor_ += text.size();
      left_ -= text.size();
    }
    std::copy(text.begin(), text.end(), at);
    return {at, text.size()};
  }

 private:
  static constexpr std::size_t kChunkBytes = 64 * 1024;

  char* keep(std::size_t bytes) { return blocks_.emplace_back(std::make_unique_for_overwrite<char[]>(bytes)).get(); }

  std::vector<std::unique_ptr<char[]>> blocks_;
  char* cursor_ = nullptr;
  std::size_t left_ = 0;
};

class Shard {
 public:
  support::PoisonableMutex mu{"brantel-core symbol table poisoned"};

  // The in-shard number of text, or 0 when it is not interned.
  std::uint32_t find(std::string_view text, std::uint64_t hash) const BRANTEL_REQUIRES(mu) {
    return slots_.empty() ? 0 : slots_[probe(text, hash)].number;
  }

  // Stores text under the next number, which the caller has checked is in range.
  std::uint32_t insert(std::string_view text, std::uint64_t hash) BRANTEL_REQUIRES(mu) {
    if ((texts_.size() + 1) * 4 > slots_.size() * 3) grow();
    texts_.push_back(chunks_.store(text));
    const auto number = static_cast<std::uint32_t>(texts_.size());
    slots_[probe(text, hash)] = Slot{tag_of(hash), number};
    return number;
  }

  std::size_t size() const BRANTEL_REQUIRES(mu) { return texts_.size(); }
  std::string_view text(std::uint32_t number) const BRANTEL_REQUIRES(mu) {
    return support::at_checked(texts_, number - 1);
  }

 private:
  struct Slot {
    std::uint32_t tag = 0;
    std::uint32_t number = 0;  // 0: empty
  };

  // The low bits of the hash choose the shard; the tag is the high half, and the
  // slot comes from the tag alone, so that growing the table never reads a text
  // (the texts lie all over the chunks, a cache miss each).
  static std::uint32_t tag_of(std::uint64_t hash) noexcept { return static_cast<std::uint32_t>(hash >> 32); }

  // The slot holding text, or the empty slot where it would go.
  std::size_t probe(std::string_view text, std::uint64_t hash) const BRANTEL_REQUIRES(mu) {
    const std::size_t mask = slots_.size() - 1;
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t i = tag & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.number == 0 || (s.tag == tag && texts_[s.number - 1] == text)) return i;
    }
  }

  void grow() BRANTEL_REQUIRES(mu) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(std::max<std::size_t>(64, slots_.size() * 2)));
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.number == 0) continue;
      std::size_t i = s.tag & mask;
      while (slots_[i].number != 0) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_ BRANTEL_GUARDED_BY(mu);
  std::vector<std::string_view> texts_ BRANTEL_GUARDED_BY(mu);
  TextChunks chunks_ BRANTEL_GUARDED_BY(mu);
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
