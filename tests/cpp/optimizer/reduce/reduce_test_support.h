// Shared pieces of the reduction tests: stand-in engines, a text dump of reduced
// nodes, and a reference interpreter that gives every node a value.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <numeric>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "optimizer/engine/rewrite_engine.h"
#include "store/graph/node_list.h"
#include "store/model/label.h"
#include "store/model/node.h"
#include "store/model/node_map.h"
#include "support/hash.h"

namespace brantel::reduce::testing {

using engine::CanonicalTerms;
using engine::EngineTerm;
using engine::TermGraph;
using store::Node;
using store::NodeList;

inline store::ParamValue F(double v) { return store::ParamValue(std::in_place_index<1>, store::float_bits_of(v)); }
inline store::ParamValue S(std::string v) { return store::ParamValue(std::in_place_index<3>, std::move(v)); }
inline store::ParamValue I(std::int64_t v) { return store::ParamValue(std::in_place_index<0>, v); }

// The params of the four identity ops: add 0.0 / mul 1.0 on either side.
inline store::ParamMap identity_params(double scalar, const char* side) {
  return {{"scalar", F(scalar)}, {"side", S(side)}};
}

inline constexpr std::array<std::string_view, 4> kIdentityLabels = {
    "op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
inline constexpr std::array<std::string_view, 8> kCommutativeLabels = {
    "op|add", "op|mul", "op|and", "op|or", "op|eq", "op|ne", "op|maximum", "op|minimum"};

inline bool is_identity_label(std::string_view l) {
  return std::find(kIdentityLabels.begin(), kIdentityLabels.end(), l) != kIdentityLabels.end();
}
inline bool is_commutative_label(std::string_view l) {
  return std::find(kCommutativeLabels.begin(), kCommutativeLabels.end(), l) != kCommutativeLabels.end();
}

inline NodeList list_of(const std::vector<Node>& nodes) {
  NodeList out;
  for (const Node& n : nodes) out.append(n);
  return out;
}

inline bool opaque_label(std::string_view label) { return !label.starts_with("op|"); }

// Returns its input unchanged; counts calls and keeps the last input if asked.
class KeepEngine : public engine::RewriteEngine {
 public:
  explicit KeepEngine(bool record_input = true) : record_input_(record_input) {}
  CanonicalTerms canonicalize(const TermGraph& g) override {
    ++calls;
    if (record_input_) last_input = g;
    CanonicalTerms out;
    out.terms = g.terms;
    for (EngineTerm& t : out.terms) t.is_opaque = opaque_label(t.label);
    out.roots = g.roots;
    out.term_map.resize(g.terms.size());
    std::iota(out.term_map.begin(), out.term_map.end(), std::uint64_t{0});
    return out;
  }
  int calls = 0;
  TermGraph last_input;

 private:
  bool record_input_;
};

// Merges every one-child term with an identity label into its child and, when
// `hash_cons`, terms with equal labels and equal canonical children; returns one
// term per class, the earliest, with the engine's output contract.
class MergingEngine : public engine::RewriteEngine {
 public:
  explicit MergingEngine(bool hash_cons = true) : hash_cons_(hash_cons) {}
  CanonicalTerms canonicalize(const TermGraph& g) override {
    const std::size_t n = g.terms.size();
    std::vector<std::uint64_t> cls(n);
    std::map<std::pair<std::string, std::vector<std::uint64_t>>, std::uint64_t> seen;
    for (std::size_t i = 0; i < n; ++i) {
      const EngineTerm& t = g.terms[i];
      std::vector<std::uint64_t> kids;
      for (const std::uint64_t c : t.children) kids.push_back(cls.at(c));
      if (is_identity_label(t.label) && kids.size() == 1) {
        cls[i] = kids[0];
        continue;
      }
      cls[i] = i;
      if (!hash_cons_) continue;
      auto [it, inserted] = seen.emplace(std::make_pair(t.label, kids), i);
      if (!inserted) cls[i] = it->second;
    }
    CanonicalTerms out;
    std::vector<std::uint64_t> out_index(n, ~std::uint64_t{0});
    for (std::size_t i = 0; i < n; ++i) {
      if (cls[i] != i) continue;
      EngineTerm t{g.terms[i].label, {}, opaque_label(g.terms[i].label)};
      for (const std::uint64_t c : g.terms[i].children) t.children.push_back(out_index.at(cls[c]));
      out_index[i] = out.terms.size();
      out.terms.push_back(std::move(t));
    }
    for (std::size_t i = 0; i < n; ++i) out.term_map.push_back(out_index[cls[i]]);
    for (const std::uint64_t r : g.roots) out.roots.push_back(out_index.at(cls.at(r)));
    return out;
  }

 private:
  bool hash_cons_;
};

// One line per node: "<label> [inputs]", stages as
// "stage [inputs] <member label>(i0,m1) ...".
inline std::string dump(const NodeList& nodes) {
  std::string out;
  for (std::size_t p = 0; p < nodes.size(); ++p) {
    const Node n = nodes.node(p);
    out += std::to_string(p) + " ";
    if (n.kind == store::NodeKind::kStage) {
      out += "stage";
    } else {
      out += store::node_label(n);
    }
    if (n.kind != store::NodeKind::kSource) {
      out += " [";
      for (std::size_t k = 0; k < n.inputs.size(); ++k) out += (k ? "," : "") + std::to_string(n.inputs[k]);
      out += "]";
    }
    for (const store::StageMember& m : n.members) {
      out += " " + m.label + "(";
      for (std::size_t k = 0; k < m.args.size(); ++k) {
        out += k ? "," : "";
        out += (m.args[k].kind == store::RefKind::kInput ? "i" : "m") + std::to_string(m.args[k].index);
      }
      out += ")";
    }
    out += "\n";
  }
  return out;
}

// Reference semantics, written independently of the reduction: an op is a
// deterministic function of its label and argument values, except that a
// one-argument identity op returns its argument and a two-argument bare
// commutative op ignores argument order; an opaque node is a function of its
// full content minus inputs and of its input values; a Stage evaluates its
// members in order and yields its last member's value.
class Interpreter {
 public:
  static std::uint64_t op_value(std::string_view label, std::vector<std::uint64_t> args) {
    if (args.size() == 1 && is_identity_label(label)) return args[0];
    if (args.size() == 2 && is_commutative_label(label)) std::sort(args.begin(), args.end());
    support::HashState h(1);
    h.add_bytes(label);
    for (const std::uint64_t a : args) h.add_u64(a);
    return h.finish();
  }

  // values[i] is node i's value; members[i] the member values of a Stage node.
  explicit Interpreter(const NodeList& nodes) : values(nodes.size()), members(nodes.size()) {
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      Node n = nodes.node(i);
      std::vector<std::uint64_t> in;
      for (const store::NodeId id : n.inputs) in.push_back(values.at(id));
      switch (n.kind) {
        case store::NodeKind::kOp: values[i] = op_value(store::node_label(n), in); break;
        case store::NodeKind::kStage: {
          std::vector<std::uint64_t>& mv = members[i];
          for (const store::StageMember& m : n.members) {
            std::vector<std::uint64_t> args;
            for (const store::StageRef& r : m.args) {
              args.push_back(r.kind == store::RefKind::kInput ? in.at(r.index) : mv.at(r.index));
            }
            mv.push_back(op_value(m.label, args));
          }
          values[i] = mv.empty() ? 0 : mv.back();
          break;
        }
        default: {
          n.inputs.clear();
          support::HashState h(2);
          h.add_u64(store::hash_node(n, 3));
          for (const std::uint64_t v : in) h.add_u64(v);
          values[i] = h.finish();
        }
      }
    }
  }

  // The value at a node-map placement.
  std::uint64_t at(const store::Placement& p) const {
    return p.member ? members.at(p.node).at(*p.member) : values.at(p.node);
  }

  std::vector<std::uint64_t> values;
  std::vector<std::vector<std::uint64_t>> members;
};

}  // namespace brantel::reduce::testing
