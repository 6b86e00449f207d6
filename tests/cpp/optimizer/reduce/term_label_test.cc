#include "optimizer/reduce/term_label.h"

#include <gtest/gtest.h>

#include "reduce_test_support.h"
#include "store/model/label.h"

namespace brantel::reduce {
namespace {

using store::Node;
using store::PayloadDescriptor;
using store::RefKind;
using testing::F;
using testing::I;
using testing::S;

std::string label_of(const Node& n) {
  const std::string r = store::encode_node(n);
  return term_label(store::NodeView::parse(r));
}

Node without_inputs(Node n) {
  n.inputs.clear();
  return n;
}

TEST(TermLabel, IsTheNodeLabelForKindsWhoseLabelIsUnambiguous) {
  const Node nodes[] = {
      Node::source("a|b", {{"k", S("x;y")}}),
      Node::op("add", {0, 1}),
      Node::op("add", {0}, testing::identity_params(0.0, "r")),
      Node::reduction("sum", {3}, {{"axis", I(0)}}),
      Node::exchange({1}, {{"n", I(4)}}),
      Node::join({1, 2}),
  };
  for (const Node& n : nodes) EXPECT_EQ(label_of(n), store::node_label(n));
}

// Nodes that differ somewhere outside their inputs, several of them equal under
// node_label. Term labels must tell every pair apart.
std::vector<Node> distinct_nodes() {
  const PayloadDescriptor base{"k", "h", "f", "v", "io", std::nullopt};
  auto with = [&](auto edit) {
    PayloadDescriptor d = base;
    edit(d);
    return Node::external(d, {});
  };
  return {
      Node::external(base, {}),
      with([](PayloadDescriptor& d) { d.preprocessing_ref = "-"; }),
      with([](PayloadDescriptor& d) { d.preprocessing_ref = ""; }),
      with([](PayloadDescriptor& d) { d.kind = "k|h"; d.content_hash = ""; }),
      with([](PayloadDescriptor& d) { d.kind = ""; d.content_hash = "k|h"; }),
      with([](PayloadDescriptor& d) { d.io_schema = "io|-"; }),
      Node::external(base, {}, {{"x", I(1)}}),
      Node::external(base, {}, {{"x", F(1.0)}}),
      Node::stage({}, {{"op|f", {{RefKind::kInput, 0}}}, {"op|g", {{RefKind::kMember, 0}}}}),
      Node::stage({}, {{"op|f", {{RefKind::kInput, 0}}}, {"op|h", {{RefKind::kMember, 0}}}}),
      Node::stage({}, {{"op|f", {{RefKind::kInput, 0}}}, {"op|g", {{RefKind::kInput, 0}}}}),
      Node::stage({}, {{"op|f", {{RefKind::kInput, 0}}}, {"op|g", {{RefKind::kMember, 0}, {RefKind::kInput, 0}}}}),
      Node::stage({}, {{"op|f", {}}, {"op|g", {}}}),
      Node::stage({}, {{"op|fop|g", {}}, {"", {}}}),
      Node::source("k"),
      Node::reduction("k", {}),
      Node::exchange({}),
      Node::join({}),
  };
}

TEST(TermLabel, TellsApartNodesThatDifferOutsideTheirInputs) {
  const std::vector<Node> nodes = distinct_nodes();
  for (std::size_t a = 0; a < nodes.size(); ++a) {
    const std::string la = label_of(nodes[a]);
    EXPECT_FALSE(la.starts_with("op|")) << la;
    for (std::size_t b = a + 1; b < nodes.size(); ++b) {
      EXPECT_NE(la, label_of(nodes[b])) << "rows " << a << " and " << b;
    }
  }
}

TEST(TermLabel, ExternalKeyIsPrefixedHexOfTheRecordWithoutInputs) {
  // tag 03; kind "a|b", content_hash "c", framework "f", version "v", io_schema
  // "io", each as u32 length + bytes; no preprocessing_ref (00); no params (u32 0).
  EXPECT_EQ(label_of(Node::external({"a|b", "c", "f", "v", "io", std::nullopt}, {7})),
            "ext#0303000000617c6201000000630100000066010000007602000000696f0000000000");
}

TEST(TermLabel, IgnoresInputsAndNanPayloads) {
  const PayloadDescriptor d{"k", "h", "f", "v", "io", "p"};
  EXPECT_EQ(label_of(Node::external(d, {0, 1}, {{"x", I(2)}})), label_of(Node::external(d, {}, {{"x", I(2)}})));
  const store::ParamValue nan1(std::in_place_index<1>, store::FloatBits{0x7ff8000000000001ULL});
  const store::ParamValue nan2(std::in_place_index<1>, store::FloatBits{0xfff0000000000002ULL});
  const Node a = Node::external(d, {3}, {{"x", nan1}});
  const Node b = Node::external(d, {4}, {{"x", nan2}});
  ASSERT_EQ(without_inputs(a), without_inputs(b));
  EXPECT_EQ(label_of(a), label_of(b));
  const Node s1 = Node::stage({0}, {{"op|f", {{RefKind::kInput, 0}}}});
  const Node s2 = Node::stage({5}, {{"op|f", {{RefKind::kInput, 0}}}});
  EXPECT_EQ(label_of(s1), label_of(s2));
  EXPECT_TRUE(label_of(s1).starts_with(kStageKeyPrefix));
  EXPECT_TRUE(label_of(a).starts_with(kExternalKeyPrefix));
}

}  // namespace
}  // namespace brantel::reduce
