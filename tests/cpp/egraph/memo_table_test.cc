#include "egraph/memo_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

namespace brantel::egraph {
namespace {

// Node k of a chain-shaped load: op(k - 1, k / 3), so its largest child is a recent
// id and consecutive nodes fill one segment after another, as a loaded graph does.
SymbolNode chain_node(Id k) {
  static const Symbol op = Symbol::intern("memo-test-op");
  static const Symbol leaf = Symbol::intern("memo-test-leaf");
  if (k == 0) return SymbolNode(leaf, std::span<const Id>());
  return SymbolNode(op, {k - 1, k / 3});
}

void expect_holds_chain(const MemoTable& table, Id count) {
  for (Id k = 0; k < count; ++k) {
    const std::optional<Id> found = table.find(chain_node(k));
    ASSERT_TRUE(found.has_value()) << k;
    ASSERT_EQ(*found, k + 100);
  }
}

TEST(MemoTable, AStoredValueIsKeptAndReportedWhenReassigned) {
  MemoTable table(7);
  const Symbol add = Symbol::intern("memo-test-add");
  EXPECT_TRUE(table.insert_if_absent(SymbolNode(add, {0, 1}), 2).inserted);
  EXPECT_EQ(table.insert_or_assign(SymbolNode(add, {0, 1}), 5), std::optional<Id>(2));
  EXPECT_EQ(table.find(SymbolNode(add, {0, 1})), std::optional<Id>(5));
  EXPECT_EQ(table.size(), 1u);
  const MemoTable::InsertResult again = table.insert_if_absent(SymbolNode(add, {0, 1}), 9);
  EXPECT_FALSE(again.inserted);
  EXPECT_EQ(again.value, 5u);
}

// Reserved tables keep their segments in one shared block until a segment
// outgrows its share; loads below, at and far beyond the reservation must all
// keep every entry, including those moved out of the shared block.
class MemoTableLoad : public testing::TestWithParam<std::size_t> {};

TEST_P(MemoTableLoad, EveryEntryIsFoundAfterGrowthBeyondTheReservation) {
  constexpr Id kCount = 20'000;
  MemoTable table(11);
  if (GetParam() != 0) table.reserve(GetParam());
  for (Id k = 0; k < kCount; ++k) ASSERT_TRUE(table.insert_if_absent(chain_node(k), k + 100).inserted) << k;
  EXPECT_EQ(table.size(), kCount);
  expect_holds_chain(table, kCount);
  std::size_t visited = 0;
  table.for_each([&](const SymbolNode&, Id) { ++visited; });
  EXPECT_EQ(visited, kCount);
}

INSTANTIATE_TEST_SUITE_P(Reservations, MemoTableLoad, testing::Values(0, 1000, 20'000, 60'000));

TEST(MemoTable, ACopyOwnsItsEntriesAfterTheOriginalChangesAndIsGone) {
  constexpr Id kCount = 12'000;
  std::optional<MemoTable> original(std::in_place, 3);
  original->reserve(kCount / 2);
  for (Id k = 0; k < kCount; ++k) original->insert_if_absent(chain_node(k), k + 100);

  MemoTable copy = *original;
  MemoTable assigned(5);
  assigned = *original;
  // Growing the original rehashes segments out of its shared block; freeing it
  // then releases everything a careless copy could still point into.
  for (Id k = kCount; k < 3 * kCount; ++k) original->insert_if_absent(chain_node(k), k + 100);
  original->insert_or_assign(chain_node(1), 1);
  original.reset();

  for (const MemoTable* t : {&copy, &assigned}) {
    EXPECT_EQ(t->size(), kCount);
    expect_holds_chain(*t, kCount);
    EXPECT_FALSE(t->find(chain_node(kCount)).has_value());
  }
}

}  // namespace
}  // namespace brantel::egraph
