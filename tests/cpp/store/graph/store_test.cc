#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <random>
#include <span>
#include <thread>
#include <unordered_map>

#include "store/graph/arena.h"
#include "store/graph/graph_store.h"
#include "testing/graph_store_peer.h"

namespace brantel::store {

namespace {

ParamValue I(std::int64_t v) { return ParamValue(std::in_place_index<0>, v); }
ParamValue FBits(std::uint64_t bits) { return ParamValue(std::in_place_index<1>, FloatBits{bits}); }

NodeId must_intern(GraphStore& s, const Node& n) {
  auto id = s.intern(n);
  EXPECT_TRUE(id.ok());
  return id.ok() ? *id : ~NodeId{0};
}

std::optional<NodeId> bad_id(const support::Result<NodeId, StoreError>& r) {
  if (const StoreError* e = r.error()) return e->bad_node_id;
  return std::nullopt;
}

TEST(GraphStore, NewStoreIsEmpty) {
  GraphStore s;
  EXPECT_EQ(s.node_count(), 0u);
  EXPECT_TRUE(s.output_marks().empty());
  EXPECT_TRUE(s.node_map().empty());
  EXPECT_TRUE(s.nodes().empty());
}

TEST(Intern, EqualNodesShareOneId) {
  GraphStore s;
  EXPECT_EQ(must_intern(s, Node::source("a")), 0u);
  EXPECT_EQ(must_intern(s, Node::op("f", {0}, {{"k", I(1)}})), 1u);
  EXPECT_EQ(must_intern(s, Node::op("f", {0}, {{"k", I(1)}})), 1u);
  EXPECT_EQ(must_intern(s, Node::source("a")), 0u);
  EXPECT_EQ(s.node_count(), 2u);
  // Same name, other kind or other inputs: other nodes.
  EXPECT_EQ(must_intern(s, Node::reduction("f", {0}, {{"k", I(1)}})), 2u);
  EXPECT_EQ(must_intern(s, Node::op("f", {0, 0}, {{"k", I(1)}})), 3u);
  // All NaNs are one value, whatever their payload.
  EXPECT_EQ(must_intern(s, Node::source("n", {{"x", FBits(0x7ff8000000000001)}})), 4u);
  EXPECT_EQ(must_intern(s, Node::source("n", {{"x", FBits(0xfff0000000000002)}})), 4u);
  EXPECT_EQ(s.node_count(), 5u);
}

TEST(Intern, InputEqualToCountIsBadNodeIdAndConsumesNoId) {
  GraphStore s;
  must_intern(s, Node::source("a"));
  must_intern(s, Node::source("b"));
  EXPECT_EQ(bad_id(s.intern(Node::op("f", {0, 2}))), 2u);
  EXPECT_EQ(s.node_count(), 2u);
  EXPECT_EQ(must_intern(s, Node::op("f", {0, 1})), 2u);
  EXPECT_EQ(describe(StoreError{2}), "no node with id 2");
}

TEST(Intern, FirstOffendingInputIsReported) {
  GraphStore s;
  for (int k = 0; k < 10; ++k) must_intern(s, Node::source(std::to_string(k)));
  EXPECT_EQ(bad_id(s.intern(Node::op("f", {3, 99, 100}))), 99u);
  EXPECT_EQ(bad_id(s.intern(Node::stage({10}, {}))), 10u);
  EXPECT_EQ(bad_id(s.intern(Node::join({0, ~NodeId{0}}))), ~NodeId{0});
  EXPECT_EQ(s.node_count(), 10u);
}

TEST(Intern, InputCountsAreNotChecked) {
  GraphStore s;
  must_intern(s, Node::source("a"));
  EXPECT_EQ(must_intern(s, Node::join({})), 1u);
  EXPECT_EQ(must_intern(s, Node::join({0, 0, 1})), 2u);
  EXPECT_EQ(must_intern(s, Node::exchange({0, 1})), 3u);
}

TEST(MarkOutput, IdempotentInFirstMarkedOrder) {
  GraphStore s;
  for (int k = 0; k < 4; ++k) must_intern(s, Node::source(std::to_string(k)));
  for (NodeId id : {2, 0, 2, 3, 0}) EXPECT_TRUE(s.mark_output(id).ok());
  EXPECT_EQ(s.output_marks(), (std::vector<NodeId>{2, 0, 3}));
  const auto bad = s.mark_output(4);
  ASSERT_NE(bad.error(), nullptr);
  EXPECT_EQ(bad.error()->bad_node_id, 4u);
  EXPECT_EQ(s.output_marks(), (std::vector<NodeId>{2, 0, 3}));
  // A node added after the marks can be marked too.
  must_intern(s, Node::source("late"));
  EXPECT_TRUE(s.mark_output(4).ok());
  EXPECT_EQ(s.output_marks(), (std::vector<NodeId>{2, 0, 3, 4}));
}

TEST(NodesSince, ClampsTheWatermark) {
  GraphStore s;
  for (int k = 0; k < 5; ++k) must_intern(s, Node::source(std::to_string(k)));
  const NodeList all = s.nodes();
  EXPECT_EQ(s.nodes_since(0), all);
  const NodeList tail = s.nodes_since(3);
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_EQ(tail.record(0), all.record(3));
  EXPECT_EQ(tail.record(1), all.record(4));
  EXPECT_TRUE(s.nodes_since(5).empty());
  EXPECT_TRUE(s.nodes_since(~std::uint64_t{0}).empty());
}

TEST(NodesSince, SlicesReuseOneListAndReportTheCount) {
  GraphStore s;
  for (int k = 0; k < 6; ++k) must_intern(s, Node::source(std::to_string(k)));
  const NodeList all = s.nodes();
  NodeList out;
  GraphStore::Delta delta = s.copy_nodes_since(0, 4, out);
  EXPECT_EQ(delta.end, 6u);
  EXPECT_EQ(delta.bytes, all.bytes().size());
  EXPECT_EQ(out, all.slice(0, 4));
  // A shorter slice into the same list holds only its own records.
  delta = s.copy_nodes_since(4, 4, out);
  EXPECT_EQ(delta.end, 6u);
  EXPECT_EQ(delta.bytes, all.bytes().size() - all.offset(4));
  EXPECT_EQ(out, all.slice(4, 6));
  EXPECT_EQ(out.record(1), all.record(5));
  delta = s.copy_nodes_since(9, 4, out);
  EXPECT_EQ(delta.end, 6u);
  EXPECT_EQ(delta.bytes, 0u);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(out.bytes().size(), 0u);
}

TEST(Snapshot, IsACopyOfOneState) {
  GraphStore s;
  must_intern(s, Node::source("a"));
  must_intern(s, Node::op("f", {0}));
  ASSERT_TRUE(s.mark_output(1).ok());
  const Snapshot snap = s.snapshot();
  must_intern(s, Node::op("g", {1}));
  ASSERT_TRUE(s.mark_output(2).ok());
  ASSERT_EQ(snap.nodes.size(), 2u);
  EXPECT_EQ(snap.nodes.node(1), Node::op("f", {0}));
  EXPECT_EQ(snap.outputs, (std::vector<NodeId>{1}));
  EXPECT_EQ(s.node_count(), 3u);
}

// What serialize relies on: an extent taken earlier still names the same record
// prefix after more nodes (and marks) were added.
TEST(Extent, CopiesTheRecordsAsTheyWereAtTheExtent) {
  GraphStore s;
  must_intern(s, Node::source("a"));
  must_intern(s, Node::op("f", {0}, {{"k", ParamValue(std::in_place_index<3>, std::string("v"))}}));
  ASSERT_TRUE(s.mark_output(1).ok());
  const StoreExtent extent = s.extent();
  const std::string before(s.nodes().bytes());
  must_intern(s, Node::op("g", {1}));
  ASSERT_TRUE(s.mark_output(2).ok());

  EXPECT_EQ(extent.node_count, 2u);
  EXPECT_EQ(extent.record_bytes, before.size());
  EXPECT_EQ(extent.outputs, (std::vector<NodeId>{1}));
  std::string copied(extent.record_bytes, '\0');
  s.copy_records(extent.node_count, copied);
  EXPECT_EQ(copied, before);

  // A buffer of any other size is a caller's bug, not a short copy.
  std::string short_buffer(extent.record_bytes - 1, '\0');
  EXPECT_THROW(s.copy_records(extent.node_count, short_buffer), support::InternalError);
}

TEST(GraphStore, NodeMapIsStoredAsGiven) {
  GraphStore s;
  const std::vector<NodeMapEntry> map = {std::nullopt, Placement{0, std::nullopt}, Placement{0, 2}};
  s.set_node_map(map);
  EXPECT_EQ(s.node_map(), map);
}

TEST(GraphStore, PoisonedLockFailsEveryLaterOperation) {
  GraphStore s;
  must_intern(s, Node::source("a"));
  GraphStoreTestPeer::fail_while_locked(s);
  const auto expect_poisoned = [](auto&& operation) {
    try {
      operation();
      ADD_FAILURE() << "operation on a poisoned store succeeded";
    } catch (const support::InternalError& e) {
      EXPECT_EQ(std::string_view(e.what()).substr(0, 33), "brantel-core store mutex poisoned");
    }
  };
  expect_poisoned([&] { (void)s.intern(Node::source("b")); });
  expect_poisoned([&] { (void)s.mark_output(0); });
  expect_poisoned([&] { (void)s.node_count(); });
  expect_poisoned([&] { (void)s.snapshot(); });
  expect_poisoned([&] { (void)s.output_marks(); });
  expect_poisoned([&] { (void)s.node_map(); });
  expect_poisoned([&] { (void)s.nodes_since(0); });
  expect_poisoned([&] { (void)s.to_dot(); });
  // A store whose operations merely failed with values, or ran out of memory, is not poisoned.
  GraphStore t;
  EXPECT_FALSE(t.intern(Node::op("f", {0})).ok());
  GraphStoreTestPeer::run_out_of_memory_while_locked(t);
  EXPECT_EQ(t.node_count(), 0u);
}

// Eight threads intern the same nodes in different orders: every thread gets the
// same id for the same node, and the ids are dense.
TEST(GraphStore, ConcurrentInternAgreesOnIds) {
  constexpr int kThreads = 8;
  constexpr int kNodes = 2000;
  std::vector<Node> nodes;
  for (int k = 0; k < kNodes; ++k) {
    std::string name = "s";
    name += std::to_string(k % 1000);
    nodes.push_back(Node::source(std::move(name), {{"k", I(k / 1000)}}));
  }
  GraphStore s;
  std::vector<std::vector<NodeId>> ids(kThreads, std::vector<NodeId>(kNodes));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<int> order(kNodes);
      std::iota(order.begin(), order.end(), 0);
      std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(t)));
      for (int k : order) ids[t][k] = *s.intern(nodes[k]);
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(ids[t], ids[0]) << "thread " << t;
  std::vector<NodeId> sorted = ids[0];
  std::sort(sorted.begin(), sorted.end());
  for (int k = 0; k < kNodes; ++k) ASSERT_EQ(sorted[k], static_cast<NodeId>(k));
  ASSERT_EQ(s.node_count(), static_cast<std::uint64_t>(kNodes));
  const NodeList stored = s.nodes();
  for (int k = 0; k < kNodes; ++k) EXPECT_EQ(stored.node(ids[0][k]), nodes[k]);
}

std::vector<PreparedRecord> prepare_all(const GraphStore& s, std::span<const std::string_view> records) {
  std::vector<PreparedRecord> prepared;
  for (std::string_view r : records) prepared.push_back(s.prepare(r));
  return prepared;
}

// The batch path must give exactly what one intern() per record gives, across
// duplicates, and stop at the first bad input.
TEST(InternAll, AgreesWithOneByOneInterning) {
  std::vector<std::string> records;
  for (int k = 0; k < 100; ++k) {
    records.push_back(encode_node(Node::source(std::to_string(k % 40))));
    records.push_back(encode_node(Node::op("f", {static_cast<NodeId>(k % 7)})));
  }
  const std::vector<std::string_view> views(records.begin(), records.end());
  GraphStore one, all;
  all.reserve(views.size(), 4096);
  std::vector<NodeId> expected, ids(views.size());
  for (std::string_view r : views) expected.push_back(*one.intern(r));
  ASSERT_TRUE(all.intern_all(prepare_all(all, views), ids).ok());
  EXPECT_EQ(ids, expected);
  EXPECT_EQ(all.nodes(), one.nodes());

  const std::string bad = encode_node(Node::op("g", {0, 500, 600}));
  std::vector<std::string_view> with_bad(views.begin(), views.begin() + 30);
  with_bad.push_back(bad);
  with_bad.push_back(views[0]);
  GraphStore partial;
  const auto r = partial.intern_all(prepare_all(partial, with_bad), ids);
  ASSERT_NE(r.error(), nullptr);
  EXPECT_EQ(r.error()->bad_node_id, 500u);
  GraphStore prefix;
  for (std::size_t k = 0; k < 30; ++k) (void)*prefix.intern(views[k]);
  EXPECT_EQ(partial.nodes(), prefix.nodes());
}

// The largest id cannot wrap the batch's range bound to zero.
TEST(InternAll, LargestIdIsOutOfRange) {
  GraphStore s;
  const std::string src = encode_node(Node::source("a"));
  const std::string bad = encode_node(Node::op("f", {0, std::numeric_limits<NodeId>::max()}));
  const std::string_view records[] = {src, bad};
  NodeId ids[2];
  const auto r = s.intern_all(prepare_all(s, records), ids);
  ASSERT_NE(r.error(), nullptr);
  EXPECT_EQ(r.error()->bad_node_id, std::numeric_limits<NodeId>::max());
  EXPECT_EQ(s.node_count(), 1u);
}

TEST(NodeArena, FindsEveryNodeAfterGrowing) {
  NodeArena arena;
  arena.reserve(3000, 1000);  // less than needed: growth must still follow
  std::vector<std::string> records;
  for (int k = 0; k < 5000; ++k) records.push_back(encode_node(Node::source(std::to_string(k))));
  for (int k = 0; k < 5000; ++k) {
    auto r = arena.intern(records[k]);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->id, static_cast<NodeId>(k));
    EXPECT_TRUE(r->inserted);
  }
  for (int k = 0; k < 5000; ++k) {
    EXPECT_EQ(arena.find(NodeView::parse(records[k])), static_cast<NodeId>(k));
    auto again = arena.intern(records[k]);
    ASSERT_TRUE(again.ok());
    EXPECT_FALSE(again->inserted);
  }
  const std::string absent = encode_node(Node::source("absent"));
  EXPECT_EQ(arena.find(NodeView::parse(absent)), std::nullopt);
  EXPECT_EQ(arena.size(), 5000u);
}

// Nodes far apart in id, sources among them, must all be found again, and a
// record naming an id beyond the arena (a huge one included) must be reported
// absent.
TEST(NodeArena, FindsNodesFarApartAndNotBeyondTheArena) {
  std::mt19937 rng(5);
  NodeArena arena;
  std::vector<std::string> records;
  for (NodeId k = 0; k < 20000; ++k) {
    std::string record = k == 0 || rng() % 7 == 0
                             ? encode_node(Node::source("s" + std::to_string(k)))
                             : encode_node(Node::op("f", {k - 1, rng() % k}, {{"k", I(static_cast<std::int64_t>(k))}}));
    auto r = arena.intern(record);
    ASSERT_TRUE(r.ok() && r->inserted) << k;
    records.push_back(std::move(record));
  }
  for (NodeId k = 0; k < records.size(); ++k) {
    auto again = arena.intern(records[k]);
    ASSERT_TRUE(again.ok()) << k;
    EXPECT_EQ(again->id, k);
    EXPECT_FALSE(again->inserted) << k;
  }
  EXPECT_EQ(arena.size(), records.size());
  for (const NodeId beyond : {NodeId{20000}, NodeId{1} << 40, std::numeric_limits<NodeId>::max()}) {
    const std::string record = encode_node(Node::op("f", {beyond}));
    EXPECT_EQ(arena.find(NodeView::parse(record)), std::nullopt) << beyond;
  }
}

// The prepared path learns the hash, the NaN flag and the inputs from the
// record's writer; it must intern exactly as the parsing path does, in one
// store mixed with it, NaN payloads included.
TEST(InternPrepared, AgreesWithRecordInterning) {
  std::mt19937 rng(11);
  const std::uint64_t nan_bits[] = {kCanonicalNan, 0x7ff0000000000123ULL, 0xfff8000000000000ULL};
  GraphStore parsed, mixed;
  std::size_t records = 0;
  for (; records < 3000; ++records) {
    const NodeId n = parsed.node_count();
    ParamMap params;
    if (rng() % 4 == 0) params.push_back({"f", FBits(nan_bits[rng() % 3])});
    params.push_back({"k", I(static_cast<std::int64_t>(rng() % 5))});
    const std::string record =
        n == 0 || rng() % 5 == 0 ? encode_node(Node::source("s" + std::to_string(rng() % 50), params))
                                 : encode_node(Node::op("f", {rng() % n, rng() % n}, params));
    const NodeView view = NodeView::parse(record);
    const std::vector<NodeId> inputs = view.inputs().to_vector();
    const auto expected = parsed.intern(std::string_view(record));
    ASSERT_TRUE(expected.ok()) << records;
    const auto id = records % 2 == 0
                        ? mixed.intern(PreparedRecord{record, mixed.hash(record, view.has_nan()), PreparedRecord::bound_of(inputs)})
                        : mixed.intern(std::string_view(record));
    ASSERT_TRUE(id.ok()) << records;
    EXPECT_EQ(*id, *expected) << records;
  }
  EXPECT_EQ(mixed.nodes(), parsed.nodes());
  EXPECT_LT(parsed.node_count(), records);  // the table did find repeats
}

TEST(InternPrepared, BadInputIsReportedAndConsumesNoId) {
  GraphStore s;
  const std::string a = encode_node(Node::source("a"));
  ASSERT_TRUE(s.intern(PreparedRecord{a, s.hash(a, false), 0}).ok());
  const std::vector<NodeId> inputs{0, 7, 9};
  const std::string bad = encode_node(Node::op("f", inputs));
  EXPECT_EQ(bad_id(s.intern(PreparedRecord{bad, s.hash(bad, false), PreparedRecord::bound_of(inputs)})), 7u);
  EXPECT_EQ(s.node_count(), 1u);
}

// Two different records whose 32-bit hashes collide must stay two nodes, and
// each must still be found: the table cannot decide by the hash alone.
TEST(NodeArena, RecordsWithEqualHashesStayDistinct) {
  constexpr std::uint64_t kSeed = 42;
  std::unordered_map<std::uint32_t, std::string> seen;
  std::string first, second;
  for (int k = 0; first.empty(); ++k) {
    ASSERT_LT(k, 2000000) << "no collision found";
    std::string record = encode_node(Node::source(std::to_string(k)));
    auto [it, fresh] = seen.try_emplace(NodeArena::hash_with_seed(record, false, kSeed), record);
    if (!fresh) {
      first = it->second;
      second = std::move(record);
    }
  }
  NodeArena arena(kSeed);
  const auto a = arena.intern(first);
  const auto b = arena.intern(second);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a->id, 0u);
  EXPECT_EQ(b->id, 1u);
  EXPECT_TRUE(b->inserted);
  EXPECT_EQ(arena.find(NodeView::parse(first)), 0u);
  EXPECT_EQ(arena.find(NodeView::parse(second)), 1u);
  EXPECT_EQ(arena.hash_of(NodeView::parse(first)), NodeArena::hash_with_seed(first, false, kSeed));
}

}  // namespace
}  // namespace brantel::store
