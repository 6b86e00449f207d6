#include "optimizer/incremental/fold_rules.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "store/model/label.h"
#include "store/model/record.h"
#include "test_nodes.h"

namespace brantel::incremental {
namespace {

using namespace test_nodes;  // NOLINT: test-local shorthands
using store::Node;
using store::NodeKind;
using store::ParamEntry;
using store::ParamMap;

const std::set<std::string> kIdentityLabels = {
    "op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
const std::set<std::string> kCommutativeNames = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

bool identity_by_record(const Node& n) {
  const std::string record = store::encode_node(n);
  return is_identity_op(store::NodeView::parse(record));
}
bool commutative_by_record(const Node& n) {
  const std::string record = store::encode_node(n);
  return is_commutative_pair(store::NodeView::parse(record));
}

struct IdentityCase {
  const char* what;
  Node node;
  bool identity;
};

TEST(IsIdentityOp, NamedCases) {
  const std::vector<IdentityCase> cases = {
      {"add 0.0 right", Node::op("add", {0}, identity_params(0.0, "r")), true},
      {"add 0.0 left", Node::op("add", {0}, identity_params(0.0, "l")), true},
      {"mul 1.0 right", Node::op("mul", {0}, identity_params(1.0, "r")), true},
      {"mul 1.0 left", Node::op("mul", {0}, identity_params(1.0, "l")), true},
      {"two inputs: only the label counts", Node::op("add", {0, 1}, identity_params(0.0, "r")), true},
      {"no inputs: still the label", Node::op("mul", {}, identity_params(1.0, "l")), true},
      {"int scalar 0", Node::op("add", {0}, params({{"scalar", int_value(0)}, {"side", str_value("r")}})), false},
      {"-0.0", Node::op("add", {0}, identity_params(-0.0, "r")), false},
      {"side x", Node::op("add", {0}, identity_params(0.0, "x")), false},
      {"third param after", Node::op("add", {0}, params({{"scalar", float_value(0.0)}, {"side", str_value("r")}, {"z", int_value(1)}})), false},
      {"third param before", Node::op("add", {0}, params({{"a", bool_value(true)}, {"scalar", float_value(0.0)}, {"side", str_value("r")}})), false},
      {"add by 1.0", Node::op("add", {0}, identity_params(1.0, "r")), false},
      {"mul by 0.0", Node::op("mul", {0}, identity_params(0.0, "l")), false},
      {"mul by next float after 1.0", Node::op("mul", {0}, params({{"scalar", float_bits_value(0x3ff0000000000001ULL)}, {"side", str_value("l")}})), false},
      {"NaN scalar", Node::op("add", {0}, params({{"scalar", float_bits_value(0x7ff8000000000001ULL)}, {"side", str_value("r")}})), false},
      {"str scalar", Node::op("add", {0}, params({{"scalar", str_value("0")}, {"side", str_value("r")}})), false},
      {"side only", Node::op("add", {0}, params({{"side", str_value("r")}})), false},
      {"side rr", Node::op("add", {0}, identity_params(0.0, "rr")), false},
      {"name Add", Node::op("Add", {0}, identity_params(0.0, "r")), false},
      {"reduction", Node::reduction("add", {0}, identity_params(0.0, "r")), false},
      {"source", Node::source("add", identity_params(0.0, "r")), false},
      {"exchange", Node::exchange({0}, identity_params(0.0, "r")), false},
  };
  int identities = 0;
  for (const IdentityCase& c : cases) {
    EXPECT_EQ(identity_by_record(c.node), c.identity) << c.what;
    // The table itself must agree with the label definition it stands for.
    EXPECT_EQ(c.node.kind == NodeKind::kOp && kIdentityLabels.count(store::node_label(c.node)) == 1, c.identity)
        << c.what;
    identities += c.identity ? 1 : 0;
  }
  EXPECT_EQ(identities, 6);
}

// Every combination of a small vocabulary of kinds, names, scalars, sides, extra
// params and input counts: the record test must agree with comparing labels.
TEST(IsIdentityOp, AgreesWithLabelComparisonExhaustively) {
  const std::vector<std::string> names = {"add", "mul", "sub", "Add", "add|", ""};
  const std::vector<std::optional<store::ParamValue>> scalars = {
      std::nullopt,          int_value(0),          int_value(1),
      float_value(0.0),      float_value(-0.0),     float_value(1.0),
      float_value(-1.0),     float_bits_value(1),   float_bits_value(0x7ff0000000000001ULL),
      str_value("0"),        bool_value(false),     str_value("f0000000000000000")};
  const std::vector<std::optional<store::ParamValue>> sides = {std::nullopt,   str_value("r"), str_value("l"),
                                                               str_value("x"), str_value(""),  int_value(0)};
  const std::vector<std::optional<ParamEntry>> extras = {
      std::nullopt, ParamEntry{"a", int_value(1)}, ParamEntry{"sidez", bool_value(true)},
      ParamEntry{"scalarx", float_value(0.0)}};
  const std::vector<NodeKind> kinds = {NodeKind::kOp, NodeKind::kReduction, NodeKind::kJoin};

  int checked = 0, identities = 0;
  for (NodeKind kind : kinds) {
    for (const std::string& name : names) {
      for (const auto& scalar : scalars) {
        for (const auto& side : sides) {
          for (const auto& extra : extras) {
            for (std::size_t arity = 0; arity <= 2; ++arity) {
              std::vector<ParamEntry> entries;
              if (scalar) entries.push_back({"scalar", *scalar});
              if (side) entries.push_back({"side", *side});
              if (extra) entries.push_back(*extra);
              std::vector<store::NodeId> inputs(arity, 0);
              Node n = kind == NodeKind::kOp          ? Node::op(name, inputs, params(entries))
                       : kind == NodeKind::kReduction ? Node::reduction(name, inputs, params(entries))
                                                      : Node::join(inputs, params(entries));
              const bool by_label = kind == NodeKind::kOp && kIdentityLabels.count(store::node_label(n)) == 1;
              ASSERT_EQ(identity_by_record(n), by_label) << store::node_label(n) << " arity " << arity;
              ++checked;
              identities += by_label ? 1 : 0;
            }
          }
        }
      }
    }
  }
  // Four labels, three arities each.
  EXPECT_EQ(identities, 12);
  EXPECT_GT(checked, 10000);
}

TEST(IsCommutativePair, NamesArityAndParams) {
  for (const std::string& name : kCommutativeNames) {
    EXPECT_TRUE(commutative_by_record(Node::op(name, {0, 1}))) << name;
    EXPECT_TRUE(commutative_by_record(Node::op(name, {1, 1}))) << name;
    EXPECT_FALSE(commutative_by_record(Node::op(name, {0}))) << name;
    EXPECT_FALSE(commutative_by_record(Node::op(name, {0, 1, 2}))) << name;
    EXPECT_FALSE(commutative_by_record(Node::op(name, {0, 1}, params({{"k", int_value(1)}})))) << name;
    EXPECT_FALSE(commutative_by_record(Node::reduction(name, {0, 1}))) << name;
  }
  for (const char* name : {"sub", "div", "Add", "max", "min", "xor", "add ", ""}) {
    EXPECT_FALSE(commutative_by_record(Node::op(name, {0, 1}))) << name;
  }
  EXPECT_FALSE(commutative_by_record(Node::join({0, 1})));
}

}  // namespace
}  // namespace brantel::incremental
