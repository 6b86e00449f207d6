#include "optimizer/reduce/fuse_stages.h"

#include <gtest/gtest.h>

#include <deque>
#include <numeric>
#include <random>

#include "reduce_test_support.h"
#include "support/check.h"

namespace brantel::reduce {
namespace {

using store::Node;
using store::NodeKind;
using testing::dump;

struct TermRow {
  std::string label;
  engine::TermChildren children;
};

// Opaque terms in these tests use node labels as template keys; each gets a
// template node of the kind its label names.
Node template_for(const std::string& label) {
  if (label.starts_with("src|")) return Node::source(label.substr(4));
  if (label.starts_with("red|")) return Node::reduction(label.substr(4), {});
  if (label == "exch") return Node::exchange({});
  if (label == "join") return Node::join({});
  if (label.starts_with("ext|")) return Node::external({label.substr(4), "h", "fw", "1", "io", std::nullopt}, {});
  if (label == "stage|1") return Node::stage({}, {{"op|q", {{store::RefKind::kInput, 0}}}});
  ADD_FAILURE() << "no template kind for " << label;
  return Node::source("?");
}

struct Fusion {
  std::vector<engine::EngineTerm> terms;
  std::deque<std::string> records;  // stable storage the table borrows from
  TemplateTable templates;

  explicit Fusion(const std::vector<TermRow>& rows) {
    for (const TermRow& t : rows) {
      const bool opaque = !t.label.starts_with("op|");
      terms.push_back({t.label, t.children, opaque});
      if (opaque) templates.insert_if_absent(t.label, records.emplace_back(store::encode_node(template_for(t.label))));
    }
  }
  FusionResult run(const std::vector<std::uint64_t>& roots, bool maximal) const {
    return fuse_stages(terms, roots, templates, maximal);
  }
};

// Properties every fusion result has, whatever the graph.
void expect_well_formed(const FusionResult& r, std::size_t term_count) {
  ASSERT_EQ(r.placements.size(), term_count);
  EXPECT_EQ(r.stages + r.boundary_nodes, r.nodes.size());
  for (std::size_t p = 0; p < r.nodes.size(); ++p) {
    const Node n = r.nodes.node(p);
    EXPECT_NE(n.kind, NodeKind::kOp) << "position " << p;
    for (const store::NodeId in : n.inputs) EXPECT_LT(in, p) << "position " << p;
    // Emitted records are canonical: re-encoding the decoded node gives the same bytes.
    EXPECT_EQ(store::encode_node(n), r.nodes.record(p)) << "position " << p;
  }
  for (const store::Placement& pl : r.placements) {
    ASSERT_LT(pl.node, r.nodes.size());
    if (pl.member) {
      EXPECT_LT(*pl.member, r.nodes.node(pl.node).members.size());
    }
  }
}

struct Row {
  const char* name;
  std::vector<TermRow> terms;
  std::vector<std::uint64_t> roots;
  std::string single_use;  // expected dump under the default rule
  std::string maximal;     // expected dump under maximal fusion
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class FuseStagesTable : public ::testing::TestWithParam<Row> {};

TEST_P(FuseStagesTable, EmitsExpectedNodesUnderBothRules) {
  const Row& row = GetParam();
  const Fusion f(row.terms);
  for (const bool maximal : {false, true}) {
    SCOPED_TRACE(maximal ? "maximal" : "single-use");
    const FusionResult r = f.run(row.roots, maximal);
    expect_well_formed(r, row.terms.size());
    EXPECT_EQ(dump(r.nodes), maximal ? row.maximal : row.single_use);
    ASSERT_EQ(r.outputs.size(), row.roots.size());
    for (std::size_t k = 0; k < row.roots.size(); ++k) {
      EXPECT_EQ(r.outputs[k], r.placements[row.roots[k]].node);
      // A root is the largest member of its group, hence its stage's last member.
      const std::optional<std::uint64_t> m = r.placements[row.roots[k]].member;
      if (m) {
        EXPECT_EQ(*m + 1, r.nodes.node(r.outputs[k]).members.size());
      }
    }
  }
}

const Row kRows[] = {
    {"Chain",
     {{"src|s", {}}, {"op|a", {0}}, {"op|b", {1}}},
     {2},
     "0 src|s\n1 stage [0] op|a(i0) op|b(m0)\n",
     "0 src|s\n1 stage [0] op|a(i0) op|b(m0)\n"},
    {"Diamond",
     {{"src|s", {}}, {"op|a", {0}}, {"op|b", {1}}, {"op|c", {1}}, {"op|d", {2, 3}}},
     {4},
     "0 src|s\n1 stage [0] op|a(i0)\n2 stage [1] op|b(i0) op|c(i0) op|d(m0,m1)\n",
     "0 src|s\n1 stage [0] op|a(i0) op|b(m0) op|c(m0) op|d(m1,m2)\n"},
    {"SameChildTwiceCountsAsTwoUses",
     {{"src|s", {}}, {"op|a", {0}}, {"op|mul", {1, 1}}},
     {2},
     "0 src|s\n1 stage [0] op|a(i0)\n2 stage [1] op|mul(i0,i0)\n",
     "0 src|s\n1 stage [0] op|a(i0) op|mul(m0,m0)\n"},
    {"OpFeedingAnOpAndAnOpaqueNodeNeverFuses",
     {{"src|s", {}}, {"op|a", {0}}, {"op|b", {1}}, {"red|r", {1}}, {"join", {2, 3}}},
     {4},
     "0 src|s\n1 stage [0] op|a(i0)\n2 stage [1] op|b(i0)\n3 red|r [1]\n4 join [2,3]\n",
     "0 src|s\n1 stage [0] op|a(i0)\n2 stage [1] op|b(i0)\n3 red|r [1]\n4 join [2,3]\n"},
    {"OutputDoesNotFuseIntoItsConsumerButProducersFuseIntoIt",
     {{"src|s", {}}, {"op|a", {0}}, {"op|b", {1}}, {"op|c", {2}}},
     {2, 3},
     "0 src|s\n1 stage [0] op|a(i0) op|b(m0)\n2 stage [1] op|c(i0)\n",
     "0 src|s\n1 stage [0] op|a(i0) op|b(m0)\n2 stage [1] op|c(i0)\n"},
    {"OpWithoutConsumersIsAOneMemberStage",
     {{"src|s", {}}, {"op|a", {0}}, {"op|dead", {0}}, {"red|r", {1}}},
     {3},
     "0 src|s\n1 stage [0] op|a(i0)\n2 stage [0] op|dead(i0)\n3 red|r [1]\n",
     "0 src|s\n1 stage [0] op|a(i0)\n2 stage [0] op|dead(i0)\n3 red|r [1]\n"},
    {"OutsideProducerReadTwiceUsesOneSlot",
     {{"src|s", {}}, {"src|t", {}}, {"op|a", {0, 0}}, {"op|b", {2, 0, 1}}},
     {3},
     "0 src|s\n1 src|t\n2 stage [0,1] op|a(i0,i0) op|b(m0,i0,i1)\n",
     "0 src|s\n1 src|t\n2 stage [0,1] op|a(i0,i0) op|b(m0,i0,i1)\n"},
    {"SlotsInFirstUseOrder",
     {{"src|s", {}}, {"src|t", {}}, {"op|a", {1}}, {"op|b", {2, 0}}},
     {3},
     "0 src|s\n1 src|t\n2 stage [1,0] op|a(i0) op|b(m0,i1)\n",
     "0 src|s\n1 src|t\n2 stage [1,0] op|a(i0) op|b(m0,i1)\n"},
    {"GroupsOrderedByLargestMember",
     {{"src|s", {}}, {"op|a", {0}}, {"op|b", {0}}, {"red|r", {2}}, {"op|c", {1, 3}}},
     {4},
     "0 src|s\n1 stage [0] op|b(i0)\n2 red|r [1]\n3 stage [0,2] op|a(i0) op|c(m0,i1)\n",
     "0 src|s\n1 stage [0] op|b(i0)\n2 red|r [1]\n3 stage [0,2] op|a(i0) op|c(m0,i1)\n"},
    {"TwoFanOutBranchesMeetInOneGroup",
     {{"src|s", {}}, {"op|a", {0}}, {"op|b", {1}}, {"op|c", {1}}, {"op|d", {2}}, {"op|e", {3}},
      {"op|f", {4, 5}}},
     {6},
     "0 src|s\n1 stage [0] op|a(i0)\n2 stage [1] op|b(i0) op|c(i0) op|d(m0) op|e(m1) op|f(m2,m3)\n",
     "0 src|s\n1 stage [0] op|a(i0) op|b(m0) op|c(m0) op|d(m1) op|e(m2) op|f(m3,m4)\n"},
    {"FanOutIntoTwoGroupsStaysApartUnderBothRules",
     {{"src|s", {}}, {"op|a", {0}}, {"op|b", {1}}, {"op|c", {1}}},
     {2, 3},
     "0 src|s\n1 stage [0] op|a(i0)\n2 stage [1] op|b(i0)\n3 stage [1] op|c(i0)\n",
     "0 src|s\n1 stage [0] op|a(i0)\n2 stage [1] op|b(i0)\n3 stage [1] op|c(i0)\n"},
    {"DuplicateRootsAndNoTerms", {}, {}, "", ""},
};

INSTANTIATE_TEST_SUITE_P(Rows, FuseStagesTable, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// An op feeding any opaque kind ends its stage there.
class OpaqueConsumer : public ::testing::TestWithParam<std::string> {};

TEST_P(OpaqueConsumer, EndsTheStage) {
  const std::string label = GetParam();
  const Fusion f({{"src|s", {}}, {"op|a", {0}}, {"op|b", {1}}, {label, {2}}});
  for (const bool maximal : {false, true}) {
    const FusionResult r = f.run({3}, maximal);
    expect_well_formed(r, 4);
    ASSERT_EQ(r.nodes.size(), 3u);
    EXPECT_EQ(dump(r.nodes.slice(0, 2)), "0 src|s\n1 stage [0] op|a(i0) op|b(m0)\n");
    Node consumer = template_for(label);
    consumer.inputs = {1};
    EXPECT_EQ(r.nodes.node(2), consumer);
    EXPECT_EQ(r.stages, 1u);
    EXPECT_EQ(r.boundary_nodes, 2u);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, OpaqueConsumer,
                         ::testing::Values("red|r", "exch", "join", "ext|model", "stage|1"));

TEST(FuseStages, PlacementsNameStageAndMember) {
  const Fusion f({{"src|s", {}}, {"op|a", {0}}, {"op|b", {1}}, {"op|c", {1}}, {"op|d", {2, 3}}});
  const FusionResult r = f.run({4, 4}, false);
  const std::vector<store::Placement> expected = {
      {0, std::nullopt}, {1, 0}, {2, 0}, {2, 1}, {2, 2}};
  EXPECT_EQ(r.placements, expected);
  EXPECT_EQ(r.outputs, (std::vector<std::uint64_t>{2, 2}));
  EXPECT_EQ(r.stages, 2u);
  EXPECT_EQ(r.boundary_nodes, 1u);
}

TEST(FuseStages, BoundaryNodeTakesTemplateFieldsAndNewInputs) {
  const Node ext = Node::external({"model", "sha", "torch", "2", "f32", "prep"}, {7, 7, 9},
                                  {{"k", testing::I(3)}});
  const std::string ext_record = store::encode_node(ext);
  const std::string src_record = store::encode_node(Node::source("s"));
  TemplateTable templates;
  templates.insert_if_absent("ext-key", ext_record);
  templates.insert_if_absent("src|s", src_record);
  const std::vector<engine::EngineTerm> terms = {
      {"src|s", {}, true}, {"op|a", {0}, false}, {"ext-key", {1, 0, 1}, true}};
  const FusionResult r = fuse_stages(terms, std::vector<std::uint64_t>{2}, templates, false);
  ASSERT_EQ(r.nodes.size(), 3u);
  Node expected = ext;
  expected.inputs = {1, 0, 1};
  EXPECT_EQ(r.nodes.node(2), expected);
}

// The single-use rule written the direct way, as a union of each op with the op
// that is its only consumer entry, against the groups fusion emits.
TEST(FuseStages, SingleUseGroupsMatchUnitingEachOpWithItsOnlyConsumer) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::vector<TermRow> rows = {{"src|s", {}}};
    const std::size_t n = 2 + rng() % 30;
    while (rows.size() < n) {
      engine::TermChildren children;
      for (std::uint64_t k = 0, arity = 1 + rng() % 2; k < arity; ++k) children.push_back(rng() % rows.size());
      rows.push_back({rng() % 5 == 0 ? "red|r" : "op|f", children});
    }
    const std::vector<std::uint64_t> roots = {n - 1, rng() % n};
    std::vector<std::vector<std::uint64_t>> consumers(n);
    for (std::uint64_t t = 0; t < n; ++t) {
      for (const std::uint64_t c : rows[t].children) consumers[c].push_back(t);
    }
    std::vector<std::uint64_t> parent(n);
    std::iota(parent.begin(), parent.end(), 0);
    auto find = [&](std::uint64_t x) {
      while (parent[x] != x) x = parent[x];
      return x;
    };
    auto is_op = [&](std::uint64_t t) { return rows[t].label.starts_with("op|"); };
    for (std::uint64_t l = 0; l < n; ++l) {
      const bool root = l == roots[0] || l == roots[1];
      if (is_op(l) && !root && consumers[l].size() == 1 && is_op(consumers[l][0])) {
        parent[find(l)] = find(consumers[l][0]);
      }
    }
    const FusionResult r = Fusion(rows).run(roots, false);
    for (std::uint64_t a = 0; a < n; ++a) {
      for (std::uint64_t b = 0; b < a; ++b) {
        ASSERT_EQ(find(a) == find(b), r.placements[a].node == r.placements[b].node)
            << "round " << round << ", terms " << b << " and " << a;
      }
    }
  }
}

TEST(FuseStages, BrokenPreconditionsAreInternalErrors) {
  const std::vector<std::uint64_t> root0 = {0};
  TemplateTable empty;
  // An opaque term whose label has no template.
  const std::vector<engine::EngineTerm> untemplated = {{"src|nowhere", {}, true}};
  EXPECT_THROW(fuse_stages(untemplated, root0, empty, false), support::InternalError);
  // A child that is not an earlier term.
  const std::vector<engine::EngineTerm> forward = {{"op|a", {0}, false}};
  EXPECT_THROW(fuse_stages(forward, root0, empty, false), support::InternalError);
  // A root past the terms.
  const std::vector<engine::EngineTerm> one = {{"op|a", {}, false}};
  EXPECT_THROW(fuse_stages(one, std::vector<std::uint64_t>{1}, empty, true), support::InternalError);
}

}  // namespace
}  // namespace brantel::reduce
