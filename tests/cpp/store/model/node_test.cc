#include "store/model/node.h"

#include <gtest/gtest.h>

#include <vector>

#include "store/model/record.h"
#include "test_nodes.h"

namespace brantel::store {
namespace {

using testing::B;
using testing::F;
using testing::FBits;
using testing::I;
using testing::S;

// Abseil's hash-correctness shape, over the three forms of node identity: Node
// equality with hash_node, and records_equal with hash_record on the encoded
// records. Equal values must hash alike; unequal ones must differ (with 64-bit
// hashes a collision among these few values would point at a missing field).
void expect_hash_agrees_with_eq(const std::vector<Node>& nodes) {
  constexpr std::uint64_t kSeed = 0x1234'5678'9abc'def0ULL;
  std::vector<std::string> records;
  for (const Node& n : nodes) records.push_back(encode_node(n));
  for (std::size_t a = 0; a < nodes.size(); ++a) {
    for (std::size_t b = 0; b < nodes.size(); ++b) {
      const bool eq = nodes[a] == nodes[b];
      const bool records_eq = records_equal(records[a], records[b]);
      EXPECT_EQ(eq, records_eq) << a << " vs " << b;
      const std::uint64_t ha = hash_node(nodes[a], kSeed), hb = hash_node(nodes[b], kSeed);
      const std::uint64_t ra = hash_record(NodeView::parse(records[a]), kSeed);
      const std::uint64_t rb = hash_record(NodeView::parse(records[b]), kSeed);
      if (eq) {
        EXPECT_EQ(ha, hb) << a << " vs " << b;
        EXPECT_EQ(ra, rb) << a << " vs " << b;
      } else {
        EXPECT_NE(ha, hb) << a << " vs " << b;
        EXPECT_NE(ra, rb) << a << " vs " << b;
      }
    }
  }
}

PayloadDescriptor descriptor(std::optional<std::string> ref) {
  return PayloadDescriptor{"onnx", "h", "torch", "2", "io", std::move(ref)};
}

TEST(NodeIdentity, HashAgreesWithEquality) {
  expect_hash_agrees_with_eq({
      Node::source("s"),
      Node::source("s", {}),  // an empty map is no parameters
      Node::source(""),
      Node::source("t"),
      Node::source("s", {{"x", I(1)}}),
      Node::source("s", {{"x", F(1.0)}}),
      Node::source("s", {{"x", B(true)}}),
      Node::source("s", {{"x", S("1")}}),
      Node::source("s", {{"x", I(0)}}),
      Node::source("s", {{"x", B(false)}}),
      Node::source("s", {{"y", I(1)}}),
      Node::source("s", {{"x", I(1)}, {"y", I(1)}}),
      Node::source("s", {{"x", F(0.0)}}),
      Node::source("s", {{"x", F(-0.0)}}),
      Node::source("s", {{"x", FBits(0x7ff8000000000000)}}),
      Node::source("s", {{"x", FBits(0x7ff8000000000001)}}),
      Node::source("s", {{"x", FBits(0xfff8000000000000)}}),
      Node::source("s", {{"x", FBits(0x7ff0000000000001)}}),
      Node::source("s", {{"x", F(INFINITY)}}),
      Node::op("s", {}),
      Node::op("s", {0}),
      Node::op("s", {0, 0}),
      Node::op("s", {0, 1}),
      Node::op("s", {1, 0}),
      Node::op("s", {0}, {{"x", FBits(0x7ff8000000000005)}}),
      Node::op("s", {0}, {{"x", FBits(0x7ff800000000000a)}}),
      Node::reduction("s", {0}),
      Node::external(descriptor(std::nullopt), {0}),
      Node::external(descriptor(""), {0}),
      Node::external(descriptor("-"), {0}),
      Node::external(PayloadDescriptor{"onnx", "h", "torch", "2", "", "io"}, {0}),
      Node::external(descriptor(std::nullopt), {0}, {{"x", I(1)}}),
      Node::stage({0}, {}),
      Node::stage({0}, {{"op|a", {}}}),
      Node::stage({0}, {{"op|a", {{RefKind::kInput, 0}}}}),
      Node::stage({0}, {{"op|a", {{RefKind::kMember, 0}}}}),
      Node::stage({0}, {{"op|a", {{RefKind::kInput, 1}}}}),
      Node::stage({0}, {{"op|a", {}}, {"op|b", {}}}),
      Node::stage({0}, {{"op|ab", {}}}),
      Node::exchange({0}),
      Node::exchange({0}, {{"n", I(4)}}),
      Node::join({0}),
      Node::join({}),
  });
}

TEST(NodeIdentity, FloatsCompareByCanonicalBits) {
  EXPECT_EQ(FloatBits{0x7ff8000000000001}, FloatBits{0xfff0000000000001});
  EXPECT_NE(float_bits_of(0.0), float_bits_of(-0.0));
  EXPECT_EQ(float_bits_of(1.0), float_bits_of(1.0));
  // Infinities are not NaNs: the all-ones exponent with a zero mantissa stays.
  EXPECT_EQ(canonical_float_bits(0x7ff0000000000000), 0x7ff0000000000000u);
  EXPECT_EQ(canonical_float_bits(0xfff0000000000000), 0xfff0000000000000u);
  EXPECT_EQ(canonical_float_bits(0xffffffffffffffff), kCanonicalNan);
}

TEST(SortParams, ByteOrderStable) {
  ParamMap m = {{"b", I(0)}, {"ab", I(1)}, {"a", I(2)}, {"B", I(3)}, {"a", I(4)}, {"\xc3\xa9", I(5)}};
  sort_params(m);
  std::vector<std::string> keys;
  for (const ParamEntry& e : m) keys.push_back(e.key + std::to_string(std::get<std::int64_t>(e.value)));
  // Bytes compare unsigned, so the two-byte é (0xC3 ...) sorts after ASCII.
  EXPECT_EQ(keys, (std::vector<std::string>{"B3", "a2", "a4", "ab1", "b0", ("\xc3\xa9" "5")}));
}

}  // namespace
}  // namespace brantel::store
