#include "store/graph/reduced_store.h"

#include <gtest/gtest.h>

#include "support/check.h"

namespace brantel::store {
namespace {

constexpr std::nullopt_t kAbsent = std::nullopt;

NodeList list_of(const std::vector<Node>& nodes) {
  NodeList out;
  for (const Node& n : nodes) out.append(n);
  return out;
}

std::string message_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const support::InternalError& e) {
    return e.what();
  }
  return "no internal error";
}

TEST(BuildReducedStore, InternsInOrderMarksOutputsAndKeepsTheNodeMap) {
  const std::vector<Node> nodes = {
      Node::source("a"),
      Node::stage({0}, {{"op|f", {{RefKind::kInput, 0}}}, {"op|g", {{RefKind::kMember, 0}}}}),
      Node::reduction("sum", {1})};
  const std::vector<NodeMapEntry> map = {Placement{0, kAbsent}, Placement{1, 0}, Placement{1, 1}, kAbsent,
                                         Placement{2, kAbsent}};
  const auto store = build_reduced_store(list_of(nodes), std::vector<std::uint64_t>{2, 0, 2}, map);
  const Snapshot snap = store->snapshot();
  EXPECT_EQ(snap.nodes, list_of(nodes));
  EXPECT_EQ(snap.outputs, (std::vector<NodeId>{2, 0}));  // marked once, at first occurrence
  EXPECT_EQ(store->node_map(), map);
}

TEST(BuildReducedStore, CoincidingNodesShareAnIdEverywhere) {
  // Positions 0 and 2 are one node; positions after them shift down by one.
  const NodeList nodes = list_of({Node::source("a"), Node::source("b"), Node::source("a"),
                                  Node::join({2, 1}), Node::exchange({3})});
  const std::vector<NodeMapEntry> map = {Placement{2, kAbsent}, Placement{4, 7}, kAbsent, Placement{3, kAbsent}};
  const auto store = build_reduced_store(nodes, std::vector<std::uint64_t>{3, 2, 0, 4}, map);
  const Snapshot snap = store->snapshot();
  EXPECT_EQ(snap.nodes,
            list_of({Node::source("a"), Node::source("b"), Node::join({0, 1}), Node::exchange({2})}));
  EXPECT_EQ(snap.outputs, (std::vector<NodeId>{2, 0, 3}));
  const std::vector<NodeMapEntry> expected = {Placement{0, kAbsent}, Placement{3, 7}, kAbsent,
                                              Placement{2, kAbsent}};
  EXPECT_EQ(store->node_map(), expected);
}

TEST(BuildReducedStore, InputsPastARepeatFollowTheShiftedIds) {
  // Interning the records as they stand would resolve position 3 to id 3, which
  // after the repeat of "a" is d, not c.
  const NodeList nodes = list_of({Node::source("a"), Node::source("b"), Node::source("a"), Node::source("c"),
                                  Node::source("d"), Node::join({3, 1})});
  const auto store = build_reduced_store(nodes, std::vector<std::uint64_t>{5}, {});
  const Snapshot snap = store->snapshot();
  EXPECT_EQ(snap.nodes, list_of({Node::source("a"), Node::source("b"), Node::source("c"), Node::source("d"),
                                 Node::join({2, 1})}));
  EXPECT_EQ(snap.outputs, (std::vector<NodeId>{4}));
}

TEST(BuildReducedStore, EmptyResultGivesEmptyStoreWithAbsentMap) {
  const auto store = build_reduced_store(NodeList{}, {}, std::vector<NodeMapEntry>(3, kAbsent));
  EXPECT_EQ(store->node_count(), 0u);
  EXPECT_TRUE(store->output_marks().empty());
  EXPECT_EQ(store->node_map(), std::vector<NodeMapEntry>(3, kAbsent));
}

TEST(BuildReducedStore, BrokenResultsAreInternalErrors) {
  const NodeList self = list_of({Node::source("a"), Node::join({1})});
  EXPECT_EQ(message_of([&] { build_reduced_store(self, {}, {}); }),
            "reduced graph references only earlier nodes");
  const NodeList forward = list_of({Node::exchange({1}), Node::source("a")});
  EXPECT_EQ(message_of([&] { build_reduced_store(forward, {}, {}); }),
            "reduced graph references only earlier nodes");
  const NodeList one = list_of({Node::source("a")});
  EXPECT_NE(message_of([&] { build_reduced_store(one, std::vector<std::uint64_t>{1}, {}); }),
            "no internal error");
  EXPECT_NE(message_of([&] { build_reduced_store(one, {}, {Placement{1, kAbsent}}); }), "no internal error");
}

}  // namespace
}  // namespace brantel::store
