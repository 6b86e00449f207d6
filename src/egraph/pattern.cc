// Pattern parsing, compilation, search and apply. Phases and a worked example are
// described in pattern.h.
#include "egraph/pattern.h"

#include <algorithm>
#include <span>
#include <utility>

#include "egraph/diagnostic_log.h"
#include "egraph/sexp.h"
#include "support/check.h"

namespace brantel::egraph {
namespace {

std::string sexp_text(const Sexp& e) {
  if (!e.is_list) return e.atom;
  std::string out = "(";
  for (std::size_t k = 0; k < e.items.size(); ++k) {
    if (k > 0) out += ' ';
    out += sexp_text(e.items[k]);
  }
  return out + ")";
}

// Appends e's entries in post-order; returns the index of e's own entry.
support::Result<Id, ParseError> convert(const Sexp& e, PatternAst& ast) {
  if (!e.is_list) {
    if (is_var_atom(e.atom)) {
      ast.emplace_back(Var::of(e.atom));
    } else {
      ast.emplace_back(SymbolNode(Symbol::intern(e.atom), {}));
    }
    return static_cast<Id>(ast.size() - 1);
  }
  if (e.items.empty()) return support::Err{ParseError{ParseErrorKind::kEmptySexp, "()"}};
  const Sexp& head = e.items.front();
  // Any list in head position is refused, the empty one included, so no text can
  // reach a state the converter does not handle.
  if (head.is_list) return support::Err{ParseError{ParseErrorKind::kHeadList, sexp_text(e)}};
  std::vector<Id> children;
  children.reserve(e.items.size() - 1);
  for (std::size_t k = 1; k < e.items.size(); ++k) {
    auto child = convert(e.items[k], ast);
    if (!child) return child;
    children.push_back(*child);
  }
  if (!children.empty() && is_var_atom(head.atom)) {
    return support::Err{ParseError{ParseErrorKind::kUnexpectedVar, head.atom}};
  }
  if (children.empty() && is_var_atom(head.atom)) {
    // "(?x)" is the variable alone, like the bare atom.
    ast.emplace_back(Var::of(head.atom));
  } else {
    ast.emplace_back(SymbolNode(Symbol::intern(head.atom), children));
  }
  return static_cast<Id>(ast.size() - 1);
}

std::string entry_text(const PatternAst& ast, std::size_t entry) {
  if (const Var* v = std::get_if<Var>(&ast[entry])) return std::string(v->text());
  const SymbolNode& node = std::get<SymbolNode>(ast[entry]);
  if (node.arity() == 0) return std::string(node.op().text());
  std::string out(1, '(');
  out += node.op().text();
  for (Id child : node.children()) {
    out += ' ';
    out += entry_text(ast, child);
  }
  out += ')';
  return out;
}

// One Bind from register 0 whose child registers each hold a different variable: no
// Compare or Lookup follows, so every e-node of the right shape yields exactly one
// substitution, read straight off its children.
bool is_flat_bind_program(const Program& program) {
  if (program.instructions.size() != 1) return false;
  const Bind* bind = std::get_if<Bind>(&program.instructions.front());
  if (bind == nullptr || bind->i != 0 || program.subst.size() != bind->node.arity()) return false;
  // The compiler gives each variable its own register (a repeat would have
  // emitted a Compare), so equal counts and in-range registers cover every slot.
  return std::all_of(program.subst.begin(), program.subst.end(), [&](const auto& entry) {
    return entry.second >= bind->out && entry.second - bind->out < bind->node.arity();
  });
}

}  // namespace

std::string describe(const ParseError& error) {
  switch (error.kind) {
    case ParseErrorKind::kEmptySexp:
      return "Found empty s-expression";
    case ParseErrorKind::kHeadList:
      return "Found a list in the head position: " + error.detail;
    case ParseErrorKind::kBadSexp:
      return "Failed to parse s-expression: " + error.detail;
    case ParseErrorKind::kUnexpectedVar:
      return "Found variable " + error.detail + " instead of an operator";
  }
  return "unknown parse error";
}

Pattern::Pattern(PatternAst ast) : ast_(std::move(ast)), program_(Program::compile(ast_)) {
  for (const PatternNode& entry : ast_) {
    if (const Var* v = std::get_if<Var>(&entry)) {
      if (std::find(vars_.begin(), vars_.end(), *v) == vars_.end()) vars_.push_back(*v);
    }
  }
  flat_bind_ = is_flat_bind_program(program_);
  if (const auto* root = ast_.empty() ? nullptr : std::get_if<SymbolNode>(&ast_.back())) {
    flat_operator_ = std::all_of(root->children().begin(), root->children().end(),
                                 [&](Id c) { return std::holds_alternative<Var>(ast_[c]); });
  }
}

bool Pattern::instantiation_in(const EClass& cls, const Subst& subst) const {
  const SymbolNode& shape = std::get<SymbolNode>(ast_.back());
  const Symbol op = shape.op();
  const std::span<const Id> vars = shape.children();
  // The class's e-nodes are canonical and sorted, so those with this operator form
  // one short run; compare children in place rather than build the node.
  const SymbolNode* it = std::lower_bound(cls.nodes.begin(), cls.nodes.end(), op,
                                          [](const SymbolNode& n, Symbol o) { return n.op() < o; });
  for (; it != cls.nodes.end() && it->op() == op; ++it) {
    if (it->arity() != vars.size()) continue;
    const std::span<const Id> children = it->children();
    bool equal = true;
    for (std::size_t c = 0; c < vars.size() && equal; ++c) equal = children[c] == subst[std::get<Var>(ast_[vars[c]])];
    if (equal) return true;
  }
  return false;
}

support::Result<Pattern, ParseError> Pattern::parse(std::string_view text) {
  auto sexp = read_sexp(text);
  if (!sexp) return support::Err{ParseError{ParseErrorKind::kBadSexp, *sexp.error()}};
  PatternAst ast;
  auto root = convert(*sexp, ast);
  if (!root) return support::Err{*root.error()};
  return Pattern(std::move(ast));
}

std::vector<SearchMatches> Pattern::search(const EGraph& egraph) const {
  return search_with_limit(egraph, static_cast<std::size_t>(-1));
}

std::vector<SearchMatches> Pattern::search_with_limit(const EGraph& egraph, std::size_t limit,
                                                     const Pattern* applier, WorkBudget* budget) const {
  if (applier != nullptr && !applier->flat_operator_) applier = nullptr;
  if (flat_bind_) {
    BRANTEL_CHECK(egraph.clean(), "Tried to search a dirty e-graph!");
    WorkBudget unlimited;
    return search_flat_bind(egraph, limit, applier, budget != nullptr ? *budget : unlimited);
  }
  return search_with_machine(egraph, limit, applier, budget);
}

std::vector<SearchMatches> Pattern::search_flat_bind(const EGraph& egraph, std::size_t limit,
                                                     const Pattern* applier, WorkBudget& budget) const {
  // Must agree with the machine running the one Bind: the same candidate classes in
  // the same order, the class's e-nodes of the operator in sorted order, those of
  // the Bind's arity only, each variable resolved to its root, and a stop once limit
  // substitutions are out.
  const Bind& bind = std::get<Bind>(program_.instructions.front());
  const Symbol op = bind.node.op();
  const std::uint32_t arity = bind.node.arity();
  const std::span<const Id> candidates = egraph.classes_with_op(op);
  std::vector<SearchMatches> found;
  if (limit == 0) return found;
  found.reserve(std::min(candidates.size(), limit));
  std::size_t remaining = limit;
  for (std::size_t k = 0; k < candidates.size() && !budget.spend(1); ++k) {
    const Id eclass = candidates[k];
    const EClass& cls = egraph[eclass];
    const SymbolNode* it = std::lower_bound(cls.nodes.begin(), cls.nodes.end(), op,
                                            [](const SymbolNode& n, Symbol o) { return n.op() < o; });
    SearchMatches* match = nullptr;
    for (; it != cls.nodes.end() && it->op() == op; ++it) {
      if (it->arity() != arity) continue;
      if (match == nullptr) {
        match = &found.emplace_back();
        match->eclass = eclass;
      }
      const std::span<const Id> children = it->children();
      // A clean e-graph's nodes are canonical: every child is a root already, and
      // looking it up would only cost a miss per far child.
      const auto bindings = static_cast<std::uint32_t>(program_.subst.size());
      Subst& subst = match->substs.emplace_back(bindings, [&](std::uint32_t k) {
        const auto& [var, reg] = program_.subst[k];
        return std::pair<Var, Id>(var, children[reg - bind.out]);
      });
      // Checked now, while the class is at hand, rather than looked up again at apply.
      if (applier != nullptr) subst.instantiation_present = applier->instantiation_in(cls, subst);
      if (--remaining == 0) return found;
    }
  }
  return found;
}

bool Pattern::matches_at_least(const EGraph& egraph, std::size_t count) const {
  if (!flat_bind_ || !egraph.clean()) return false;
  const SymbolNode& shape = std::get<Bind>(program_.instructions.front()).node;
  // Each such e-node is one match: its children bind the pattern's distinct variables.
  return egraph.op_has_only_arity(shape.op(), shape.arity()) && egraph.nodes_with_op(shape.op()) >= count;
}

std::vector<SearchMatches> Pattern::search_with_machine(const EGraph& egraph, std::size_t limit,
                                                       const Pattern* applier, WorkBudget* budget) const {
  // Checked here as well as per class: the operator index of a dirty graph may be out
  // of date, so a search could otherwise return a wrong empty answer.
  BRANTEL_CHECK(egraph.clean(), "Tried to search a dirty e-graph!");
  std::vector<SearchMatches> found;
  if (ast_.empty()) return found;
  WorkBudget unlimited;
  WorkBudget& spend_from = budget != nullptr ? *budget : unlimited;
  std::vector<Subst> substs;
  std::vector<Id> registers;
  std::size_t remaining = limit;
  auto visit = [&](Id eclass) {
    substs.clear();
    program_.run(egraph, eclass, remaining, substs, registers);
    if (substs.empty()) return;
    BRANTEL_CHECK(substs.size() <= remaining, "a class yields no more matches than the limit left");
    remaining -= substs.size();
    SearchMatches& m = found.emplace_back();
    m.eclass = eclass;
    m.substs.reserve(static_cast<std::uint32_t>(substs.size()));
    const EClass* cls = applier != nullptr ? &egraph[eclass] : nullptr;
    for (Subst& s : substs) {
      if (cls != nullptr) s.instantiation_present = applier->instantiation_in(*cls, s);
      m.substs.push_back(std::move(s));
    }
  };
  // Only a class holding an e-node with the root's operator can satisfy the root
  // Bind or Lookup, so the others are skipped without changing what is found.
  const SymbolNode* root = std::get_if<SymbolNode>(&ast_.back());
  const std::vector<Id> every_class = root == nullptr ? egraph.class_ids() : std::vector<Id>();
  for (Id eclass : root != nullptr ? egraph.classes_with_op(root->op()) : std::span<const Id>(every_class)) {
    if (remaining == 0 || spend_from.spend(1)) break;
    visit(eclass);
  }
  return found;
}

std::vector<Id> Pattern::apply_matches(EGraph& egraph, const std::vector<SearchMatches>& matches,
                                       WorkBudget* budget) const {
  WorkBudget unlimited;
  WorkBudget& spend_from = budget != nullptr ? *budget : unlimited;
  std::vector<Id> changed;
  // One per matched class to start with: counting the substitutions first was a
  // pass of its own over a match list that, for a large graph, is out of cache.
  changed.reserve(matches.size());
  std::vector<Id> scratch(ast_.size(), 0);

  // The note holds while every binding is still a root: then the instantiation
  // canonicalises to the e-node the search found in the class, whose memo entry
  // names an id of that class, so the add finds it and the union returns false.
  auto unchanged = [&](const Subst& subst) {
    if (!flat_operator_ || !subst.instantiation_present) return false;
    if (egraph.merges_since_rebuild() == 0) return true;
    return std::all_of(subst.begin(), subst.end(), [&](const auto& binding) {
      return egraph.find(binding.second) == binding.second;
    });
  };

  for (const SearchMatches& m : matches) {
    for (const Subst& subst : m.substs) {
      if (spend_from.spend(1)) return changed;
      if (unchanged(subst)) continue;
      for (std::size_t k = 0; k < ast_.size(); ++k) {
        if (const Var* v = std::get_if<Var>(&ast_[k])) {
          scratch[k] = subst[*v];
          continue;
        }
        const SymbolNode& shape = std::get<SymbolNode>(ast_[k]);
        SymbolNode node = SymbolNode::filled(shape.op(), shape.arity(),
                                             [&](std::uint32_t c) { return scratch[shape.children()[c]]; });
        scratch[k] = egraph.find(egraph.add(std::move(node)));
      }
      const Id instantiated = scratch.back();
      diag::offer([&] { return "apply_rec " + entry_text(ast_, ast_.size() - 1); });
      if (egraph.union_classes(instantiated, m.eclass)) changed.push_back(instantiated);
    }
  }
  return changed;
}

std::string Pattern::to_string() const { return ast_.empty() ? std::string() : entry_text(ast_, ast_.size() - 1); }

}  // namespace brantel::egraph
