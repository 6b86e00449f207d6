#include "store/model/record.h"

#include <gtest/gtest.h>

#include <vector>

#include "test_nodes.h"

namespace brantel::store {
namespace {

using testing::B;
using testing::F;
using testing::FBits;
using testing::I;
using testing::S;

std::vector<Node> one_of_every_kind() {
  return {
      Node::source("src", {{"n", I(1)}}),
      Node::source(""),
      Node::op("neg", {0}),
      Node::op("add", {0, 1, 0}, {{"a", F(-0.0)}, {"b", B(true)}, {"c", S(std::string("x\0y", 3))}, {"d", I(INT64_MIN)}}),
      Node::reduction("sum", {2}, {{"axis", I(0)}}),
      Node::external(PayloadDescriptor{"k", "h", "f", "v", "io", std::nullopt}, {0}),
      Node::external(PayloadDescriptor{"k", "h", "f", "v", "io", ""}, {}, {{"x", FBits(0x7ff8000000000001)}}),
      Node::stage({0, 1}, {{"op|a", {{RefKind::kInput, 1}}}, {"red|b", {{RefKind::kMember, 0}, {RefKind::kInput, 7}}}}),
      Node::stage({}, {}),
      Node::exchange({3}, {{"n", I(4)}}),
      Node::exchange({}),
      Node::join({0, 1}, {{"how", S("inner")}}),
  };
}

TEST(Record, EveryKindRoundTrips) {
  for (const Node& n : one_of_every_kind()) {
    const std::string record = encode_node(n);
    const NodeView view = NodeView::parse(record);
    EXPECT_EQ(view.kind(), n.kind);
    EXPECT_EQ(view.record(), record);
    EXPECT_EQ(view.inputs().to_vector(), n.inputs);
    const Node back = view.to_node();
    EXPECT_EQ(back, n);
    // Bits survive exactly, not just up to NaN canonicalisation.
    EXPECT_EQ(encode_node(back), record);
  }
}

// The Source record inside the two-node blob example, byte for byte.
TEST(Record, SourceLayout) {
  const std::string record = encode_node(Node::source("src", {{"n", I(1)}}));
  const std::string expected("\x00" "\x03\x00\x00\x00" "src" "\x01\x00\x00\x00" "\x01\x00\x00\x00" "n"
                             "\x00" "\x01\x00\x00\x00\x00\x00\x00\x00", 26);
  EXPECT_EQ(record, expected);
}

TEST(Record, ExternalAndStageLayout) {
  const std::string ext = encode_node(Node::external(PayloadDescriptor{"k", "", "", "", "", "r"}, {5}));
  const std::string ext_expected("\x03" "\x01\x00\x00\x00" "k" "\x00\x00\x00\x00" "\x00\x00\x00\x00"
                                 "\x00\x00\x00\x00" "\x00\x00\x00\x00" "\x01" "\x01\x00\x00\x00" "r"
                                 "\x00\x00\x00\x00" "\x01\x00\x00\x00" "\x05\x00\x00\x00\x00\x00\x00\x00", 44);
  EXPECT_EQ(ext, ext_expected);
  const std::string stage = encode_node(Node::stage({2}, {{"m", {{RefKind::kMember, 3}}}}));
  const std::string stage_expected("\x04" "\x01\x00\x00\x00" "\x02\x00\x00\x00\x00\x00\x00\x00"
                                   "\x01\x00\x00\x00" "\x01\x00\x00\x00" "m" "\x01\x00\x00\x00"
                                   "\x01" "\x03\x00\x00\x00", 31);
  EXPECT_EQ(stage, stage_expected);
}

TEST(Record, EncodeWithInputsReplacesOnlyTheInputList) {
  for (const Node& n : one_of_every_kind()) {
    const std::string record = encode_node(n);
    const std::vector<NodeId> inputs = {9, 8};
    std::string out = "~";
    encode_with_inputs(NodeView::parse(record), inputs, out);
    Node expected = n;
    if (n.kind != NodeKind::kSource) expected.inputs = inputs;
    std::string expected_out = "~";
    expected_out += encode_node(expected);
    EXPECT_EQ(out, expected_out);
  }
}

TEST(Record, HasNanOnlyForNonCanonicalNans) {
  const auto has_nan = [](std::uint64_t bits) {
    return NodeView::parse(encode_node(Node::source("s", {{"x", FBits(bits)}}))).has_nan();
  };
  EXPECT_FALSE(has_nan(kCanonicalNan));
  EXPECT_TRUE(has_nan(0x7ff8000000000001));
  EXPECT_TRUE(has_nan(0xfff8000000000000));
  EXPECT_FALSE(has_nan(0x7ff0000000000000));  // +inf
}

TEST(Record, MalformedRecordIsAnInternalError) {
  const std::string record = encode_node(Node::op("f", {0}));
  EXPECT_THROW(NodeView::parse(record.substr(0, record.size() - 1)), support::InternalError);
  EXPECT_THROW(NodeView::parse(record + "x"), support::InternalError);
  EXPECT_THROW(NodeView::parse(std::string("\x07", 1)), support::InternalError);
}

}  // namespace
}  // namespace brantel::store
