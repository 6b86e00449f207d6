#include "optimizer/incremental/canonical_form.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "store/graph/graph_store.h"
#include "store/model/label.h"
#include "test_nodes.h"

namespace brantel::incremental {
namespace {

using namespace test_nodes;  // NOLINT: test-local shorthands
using store::GraphStore;
using store::Node;
using store::NodeId;
using store::ParamMap;

std::vector<std::uint64_t> id_map_of(const CanonicalForm& form) {
  return {form.id_map().begin(), form.id_map().end()};
}

std::uint64_t step(CanonicalForm& form, const GraphStore& store) {
  auto r = form.consume(store.nodes_since(form.watermark()));
  EXPECT_TRUE(r.ok());
  return r.ok() ? *r : 0;
}

TEST(CanonicalForm, WorkedExample) {
  GraphStore store;
  const NodeId a = source(store, "a"), b = source(store, "b");
  const NodeId ab = op(store, "add", {a, b});
  const NodeId ba = op(store, "add", {b, a});
  const NodeId wrapped = op(store, "mul", {ba}, identity_params(1.0, "l"));
  op(store, "neg", {wrapped});
  op(store, "neg", {ab});

  CanonicalForm form;
  EXPECT_EQ(step(form, store), 7u);
  EXPECT_EQ(id_map_of(form), (std::vector<std::uint64_t>{0, 1, 2, 2, 2, 3, 3}));
  EXPECT_EQ(form.nodes(), node_list({Node::source("a"), Node::source("b"), Node::op("add", {0, 1}),
                                     Node::op("neg", {2})}));
  EXPECT_EQ(form.canonical_count(), 4u);
  EXPECT_EQ(form.watermark(), 7u);
  EXPECT_EQ(form.total_work(), 7u);
}

struct WrapperCase {
  const char* what;
  const char* name;
  ParamMap params;
  bool eliminated;
};

std::vector<WrapperCase> wrapper_cases() {
  return {
      {"add 0.0 right", "add", identity_params(0.0, "r"), true},
      {"add 0.0 left", "add", identity_params(0.0, "l"), true},
      {"mul 1.0 right", "mul", identity_params(1.0, "r"), true},
      {"mul 1.0 left", "mul", identity_params(1.0, "l"), true},
      {"int scalar 0", "add", params({{"scalar", int_value(0)}, {"side", str_value("r")}}), false},
      {"-0.0", "add", identity_params(-0.0, "r"), false},
      {"side x", "add", identity_params(0.0, "x"), false},
      {"third param", "add",
       params({{"scalar", float_value(0.0)}, {"side", str_value("r")}, {"t", int_value(0)}}), false},
  };
}

// x; y = wrapper(x); then neg(y) and neg(x): an identity folds both negs into one.
TEST(CanonicalForm, IdentityWrappersAndNearMisses) {
  for (const WrapperCase& c : wrapper_cases()) {
    GraphStore store;
    const NodeId x = source(store, "x");
    const NodeId y = op(store, c.name, {x}, c.params);
    CanonicalForm form;
    step(form, store);
    EXPECT_EQ(form.canonical_count(), c.eliminated ? 1u : 2u) << c.what;
    EXPECT_EQ(form.watermark(), 2u) << c.what;

    const NodeId neg_y = op(store, "neg", {y});
    const NodeId neg_x = op(store, "neg", {x});
    EXPECT_EQ(step(form, store), 2u) << c.what;
    EXPECT_EQ(form.canonical_count(), c.eliminated ? 2u : 4u) << c.what;
    EXPECT_EQ(form.watermark(), 4u) << c.what;
    EXPECT_EQ(form.id_map()[neg_y] == form.id_map()[neg_x], c.eliminated) << c.what;
  }
}

TEST(CanonicalForm, ChainsOfIdentityWrappersFoldToTheOperand) {
  GraphStore store;
  const NodeId x = source(store, "x");
  NodeId w = x;
  const std::vector<WrapperCase> cases = wrapper_cases();
  for (int round = 0; round < 3; ++round) {
    for (std::size_t k = 0; k < 4; ++k) w = op(store, cases[k].name, {w}, cases[k].params);
  }
  // Two ops that differ only by wrappers around their inputs fold into one.
  const NodeId f_wrapped = op(store, "f", {w, x});
  const NodeId f_plain = op(store, "f", {x, x});
  CanonicalForm form;
  EXPECT_EQ(step(form, store), store.node_count());
  for (NodeId i = 0; i <= w; ++i) EXPECT_EQ(form.id_map()[i], form.id_map()[x]) << "store node " << i;
  EXPECT_EQ(form.id_map()[f_wrapped], form.id_map()[f_plain]);
  EXPECT_EQ(form.canonical_count(), 2u);
}

// Forwarding to the first input would drop the second: kept, as the engine keeps it.
TEST(CanonicalForm, IdentityWithSeveralInputsIsAnOrdinaryNode) {
  GraphStore store;
  const NodeId x = source(store, "x"), y = source(store, "y");
  const NodeId xy = op(store, "add", {x, y}, identity_params(0.0, "r"));
  const NodeId yxx = op(store, "mul", {y, x, x}, identity_params(1.0, "l"));
  CanonicalForm form;
  step(form, store);
  EXPECT_EQ(id_map_of(form), (std::vector<std::uint64_t>{x, y, xy, yxx}));
  EXPECT_EQ(form.canonical_count(), 4u);
}

// Nothing to forward to: the op is kept as an ordinary node, deduplicated like any
// other, and its consumers fold normally.
TEST(CanonicalForm, IdentityOpWithoutInputsIsFoldedAsAnOrdinaryNode) {
  const Node lonely = Node::op("add", {}, identity_params(0.0, "r"));
  CanonicalForm form;
  auto r = form.consume(node_list({lonely, lonely, Node::op("neg", {0}), Node::op("neg", {1})}));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, 4u);
  EXPECT_EQ(id_map_of(form), (std::vector<std::uint64_t>{0, 0, 1, 1}));
  EXPECT_EQ(form.nodes(), node_list({lonely, Node::op("neg", {0})}));
  EXPECT_EQ(form.total_work(), 4u);
}

TEST(CanonicalForm, CommutativePairsKeepTheFirstOrientation) {
  for (const char* name : {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"}) {
    GraphStore store;
    const NodeId a = source(store, "a"), b = source(store, "b");
    const NodeId ba = op(store, name, {b, a});
    const NodeId ab = op(store, name, {a, b});
    const NodeId aa = op(store, name, {a, a});
    CanonicalForm form;
    step(form, store);
    EXPECT_EQ(form.id_map()[ab], form.id_map()[ba]) << name;
    EXPECT_EQ(form.canonical_count(), 4u) << name;
    EXPECT_EQ(form.watermark(), 5u) << name;
    EXPECT_EQ(form.nodes().record(form.id_map()[ba]), store::encode_node(Node::op(name, {b, a}))) << name;
    EXPECT_NE(form.id_map()[aa], form.id_map()[ab]) << name;
  }
}

TEST(CanonicalForm, NonCommutablePairsStayApart) {
  struct Case {
    const char* what;
    const char* name;
    ParamMap params;
  };
  const std::vector<Case> cases = {{"params on both", "add", params({{"k", int_value(1)}})},
                                   {"sub", "sub", {}},
                                   {"max is not maximum", "max", {}}};
  for (const Case& c : cases) {
    GraphStore store;
    const NodeId a = source(store, "a"), b = source(store, "b");
    op(store, c.name, {a, b}, c.params);
    op(store, c.name, {b, a}, c.params);
    CanonicalForm form;
    step(form, store);
    EXPECT_EQ(form.canonical_count(), 4u) << c.what;
  }
  // Three inputs rotated are not a swap.
  GraphStore store;
  const NodeId a = source(store, "a"), b = source(store, "b");
  op(store, "add", {a, b, a});
  op(store, "add", {b, a, a});
  CanonicalForm form;
  step(form, store);
  EXPECT_EQ(form.canonical_count(), 4u);
}

// The swap is decided on remapped inputs: add(a, b + 0.0) meets add(b, a).
TEST(CanonicalForm, CommutationSeesThroughIdentities) {
  GraphStore store;
  const NodeId a = source(store, "a"), b = source(store, "b");
  const NodeId b0 = op(store, "add", {b}, identity_params(0.0, "l"));
  const NodeId first = op(store, "add", {a, b0});
  const NodeId second = op(store, "add", {b, a});
  CanonicalForm form;
  step(form, store);
  EXPECT_EQ(form.id_map()[first], form.id_map()[second]);
  EXPECT_EQ(form.canonical_count(), 3u);
}

// Fed another store's nodes, consumption stops at the first input that names no
// consumed node; what came before stays consumed, total_work does not move.
TEST(CanonicalForm, UnmappableInputStopsConsumption) {
  CanonicalForm form;
  ASSERT_TRUE(form.consume(node_list({Node::source("a"), Node::source("b"), Node::op("f", {0, 1})})).ok());
  auto r = form.consume(node_list({Node::op("g", {2}), Node::op("h", {3}), Node::op("k", {1, 9}),
                                   Node::op("never", {0})}));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error()->bad_node_id, 9u);
  EXPECT_EQ(store::describe(*r.error()), "no node with id 9");
  EXPECT_EQ(form.watermark(), 5u);
  EXPECT_EQ(form.canonical_count(), 5u);
  EXPECT_EQ(form.total_work(), 3u);

  // The watermark check is against the ids consumed so far, not the delta's size.
  auto self = form.consume(node_list({Node::op("self", {5})}));
  ASSERT_FALSE(self.ok());
  EXPECT_EQ(self.error()->bad_node_id, 5u);

  auto ok = form.consume(node_list({Node::op("m", {4})}));
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(*ok, 1u);
  EXPECT_EQ(form.watermark(), 6u);
  EXPECT_EQ(form.total_work(), 4u);
}

// The rules written the obvious way: Node values, label strings, an ordered map.
class NaiveFold {
 public:
  void consume(const Node& node) {
    Node n = node;
    for (NodeId& u : n.inputs) u = id_map_.at(u);
    static const std::set<std::string> kIdentity = {
        "op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
        "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
    static const std::set<std::string> kCommutative = {"add", "mul", "and", "or",
                                                       "eq",  "ne",  "maximum", "minimum"};
    if (n.kind == store::NodeKind::kOp && n.inputs.size() == 1 && kIdentity.count(store::node_label(n))) {
      id_map_.push_back(n.inputs[0]);
      return;
    }
    if (n.kind == store::NodeKind::kOp && n.inputs.size() == 2 && n.params.empty() &&
        kCommutative.count(n.name)) {
      if (auto it = table_.find(store::encode_node(n)); it != table_.end()) {
        id_map_.push_back(it->second);
        return;
      }
      Node swapped = n;
      std::swap(swapped.inputs[0], swapped.inputs[1]);
      if (auto it = table_.find(store::encode_node(swapped)); it != table_.end()) {
        id_map_.push_back(it->second);
        return;
      }
    }
    auto [it, inserted] = table_.emplace(store::encode_node(n), canonical_.size());
    if (inserted) canonical_.append(n);
    id_map_.push_back(it->second);
  }
  const std::vector<std::uint64_t>& id_map() const { return id_map_; }
  const store::NodeList& nodes() const { return canonical_; }

 private:
  store::NodeList canonical_;
  std::map<std::string, std::uint64_t> table_;
  std::vector<std::uint64_t> id_map_;
};

// A random graph rich in identities, near misses, commutable pairs and repeats.
void build_random_graph(GraphStore& store, std::mt19937_64& rng, std::size_t target) {
  const std::vector<const char*> names = {"add", "mul", "sub", "neg", "maximum", "eq", "f"};
  const std::vector<ParamMap> param_choices = {
      {},
      {},
      identity_params(0.0, "r"),
      identity_params(0.0, "l"),
      identity_params(1.0, "r"),
      identity_params(1.0, "l"),
      identity_params(-0.0, "r"),
      identity_params(0.0, "x"),
      params({{"scalar", int_value(0)}, {"side", str_value("r")}}),
      params({{"k", int_value(1)}}),
  };
  const std::vector<ParamMap> identities = {identity_params(0.0, "r"), identity_params(0.0, "l"),
                                            identity_params(1.0, "r"), identity_params(1.0, "l")};
  for (const char* s : {"a", "b", "c"}) source(store, s);
  while (store.node_count() < target) {
    const std::size_t n = store.node_count();
    // Mostly recent inputs, so chains grow deep; sometimes any earlier node.
    auto pick = [&] {
      const std::size_t window = std::min<std::size_t>(n, 8);
      return (rng() % 4 == 0) ? rng() % n : n - 1 - rng() % window;
    };
    const std::uint64_t dice = rng() % 100;
    if (dice < 25) {
      const std::size_t k = rng() % 4;
      std::vector<NodeId> inputs{pick()};
      // Now and then two or three inputs: those identities must stay.
      if (rng() % 16 == 0) {
        inputs.push_back(pick());
        if (rng() % 2 == 0) inputs.push_back(pick());
      }
      op(store, k < 2 ? "add" : "mul", inputs, identities[k]);
      continue;
    }
    if (dice < 40) {
      // The mirror image of an earlier node: a commutable pair when the rules allow.
      const Node earlier = store.nodes_since(pick()).node(0);
      if (earlier.kind == store::NodeKind::kOp && earlier.inputs.size() == 2) {
        op(store, earlier.name, {earlier.inputs[1], earlier.inputs[0]}, earlier.params);
        continue;
      }
    }
    const std::size_t arity = rng() % 10 == 0 ? 0 : 1 + rng() % 2;
    std::vector<NodeId> inputs;
    for (std::size_t i = 0; i < arity; ++i) inputs.push_back(pick());
    op(store, names[rng() % names.size()], inputs, param_choices[rng() % param_choices.size()]);
  }
}

TEST(CanonicalForm, AgreesWithNaiveFoldWhateverTheStepSizes) {
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    std::mt19937_64 rng(seed);
    GraphStore store;
    build_random_graph(store, rng, 3000);
    const store::NodeList all = store.nodes();

    NaiveFold naive;
    for (std::size_t i = 0; i < all.size(); ++i) naive.consume(all.node(i));

    CanonicalForm whole;
    ASSERT_TRUE(whole.consume(all).ok());
    CanonicalForm chunked;
    while (chunked.watermark() < all.size()) {
      const std::size_t from = chunked.watermark();
      const std::size_t to = std::min<std::size_t>(all.size(), from + 1 + rng() % 50);
      ASSERT_TRUE(chunked.consume(all.slice(from, to)).ok());
    }
    for (const CanonicalForm* form : {&whole, &chunked}) {
      EXPECT_EQ(id_map_of(*form), naive.id_map()) << "seed " << seed;
      EXPECT_EQ(form->nodes(), naive.nodes()) << "seed " << seed;
      EXPECT_EQ(form->total_work(), all.size());
    }
    // The generator must actually exercise the rules.
    EXPECT_LT(whole.canonical_count(), all.size() * 3 / 4) << "seed " << seed;
  }
}

}  // namespace
}  // namespace brantel::incremental
