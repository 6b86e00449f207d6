#include "egraph/symbol.h"

#include <gtest/gtest.h>

#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "support/check.h"

namespace brantel::egraph {
namespace {

TEST(Symbol, SameTextSameSymbolAndTextRoundTrips) {
  const Symbol a = Symbol::intern("op|add");
  const Symbol b = Symbol::intern(std::string("op|") + "add");
  const Symbol c = Symbol::intern("op|mul");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_NE(a.value(), 0u);
  EXPECT_EQ(a.text(), "op|add");
  EXPECT_EQ(Symbol::intern("").text(), "");
}

TEST(Symbol, ValuePacksShardInTopBitsAndCountsFromOne) {
  const Symbol s = Symbol::intern("symbol-test-shard-probe");
  EXPECT_EQ(s.shard(), symbol_shard_of("symbol-test-shard-probe"));
  EXPECT_EQ(s.value() >> 28, s.shard());
  EXPECT_GE(s.index(), 1u);
  EXPECT_EQ(Symbol::pack(3, 1).value(), 0x30000001u);
  EXPECT_EQ(Symbol::pack(15, 0x0FFFFFFE).value(), 0xFFFFFFFEu);
}

TEST(Symbol, InShardNumberBeyondTheFieldIsFatal) {
  try {
    (void)Symbol::pack(0, 0x0FFFFFFF);
    FAIL() << "pack accepted an index that does not fit";
  } catch (const support::InternalError& e) {
    EXPECT_STREQ(e.what(), "Can't represent index 268435455 in a Symbol");
  }
}

TEST(Symbol, TextsKeepTheirSymbolsAndCharactersAsTheTableGrows) {
  // Enough texts to grow every shard's index several times and to fill many
  // storage chunks, with a long text and an embedded NUL among them: a text whose
  // slot moved or whose bytes were overwritten would come back different.
  std::vector<std::string> texts;
  for (int k = 0; k < 50'000; ++k) texts.push_back("symbol-growth-" + std::to_string(k));
  texts.push_back(std::string(100'000, 'x') + "-long");
  texts.push_back(std::string("nul\0inside", 10));
  texts.push_back(std::string("nul\0insidf", 10));
  std::vector<Symbol> first;
  for (const std::string& text : texts) first.push_back(Symbol::intern(text));
  const std::size_t count = Symbol::interned_count();
  for (std::size_t k = 0; k < texts.size(); ++k) {
    ASSERT_EQ(Symbol::intern(texts[k]), first[k]) << texts[k];
    ASSERT_EQ(first[k].text(), texts[k]);
  }
  EXPECT_EQ(Symbol::interned_count(), count);
  EXPECT_NE(first[texts.size() - 1], first[texts.size() - 2]);
}

TEST(Symbol, InterningFromTwoThreadsAtOnceGivesOneSymbol) {
  // Fresh texts, so that both threads race to be the first to append each one.
  std::vector<std::string> texts;
  for (int k = 0; k < 2000; ++k) texts.push_back("symbol-race-" + std::to_string(k));
  std::vector<Symbol> seen[2];
  std::latch start(2);
  auto work = [&](int t) {
    start.arrive_and_wait();
    for (const std::string& text : texts) seen[t].push_back(Symbol::intern(text));
  };
  std::thread a(work, 0), b(work, 1);
  a.join();
  b.join();
  ASSERT_EQ(seen[0].size(), texts.size());
  EXPECT_EQ(seen[0], seen[1]);
  for (std::size_t k = 0; k < texts.size(); ++k) EXPECT_EQ(seen[0][k].text(), texts[k]);
}

}  // namespace
}  // namespace brantel::egraph
