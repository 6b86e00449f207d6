#include "egraph/pattern.h"

#include <algorithm>
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

}  // namespace

std::string describe(const ParseError& error) {
  switch (error.kind) {
    case ParseErrorKind::kEmptySexp:
      return "Found empty s-expression";
    case ParseErrorKind::kHeadList:
      return "Found a list in the head position: " + error.detail;
    case ParseErrorKind::kBadSexp:
      return "Failed to parse s-expression: " + error.detail;
    case ParseErrorKind::kBadOp:
      return "Failed to parse operator: " + error.detail;
    case ParseErrorKind::kBadVar:
      return "Failed to parse variable: " + error.detail;
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

std::vector<SearchMatches> Pattern::search_with_limit(const EGraph& egraph, std::size_t limit) const {
  // Checked here as well as per class: the operator index of a dirty graph may be out
  // of date, so a search could otherwise return a wrong empty answer.
  BRANTEL_CHECK(egraph.clean(), "Tried to search a dirty e-graph!");
  std::vector<SearchMatches> found;
  if (ast_.empty()) return found;
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
    for (Subst& s : substs) m.substs.push_back(std::move(s));
  };
  if (const SymbolNode* root = std::get_if<SymbolNode>(&ast_.back())) {
    // Only a class holding an e-node with the root's operator can satisfy the root
    // Bind or Lookup, so the others are skipped without changing what is found.
    for (Id eclass : egraph.classes_with_op(root->op())) {
      if (remaining == 0) break;
      visit(eclass);
    }
  } else {
    for (Id eclass : egraph.class_ids()) {
      if (remaining == 0) break;
      visit(eclass);
    }
  }
  return found;
}

std::vector<Id> Pattern::apply_matches(EGraph& egraph, const std::vector<SearchMatches>& matches) const {
  std::vector<Id> changed;
  std::vector<Id> scratch(ast_.size(), 0);
  std::vector<Id> children;
  for (const SearchMatches& m : matches) {
    for (const Subst& subst : m.substs) {
      for (std::size_t k = 0; k < ast_.size(); ++k) {
        if (const Var* v = std::get_if<Var>(&ast_[k])) {
          scratch[k] = subst[*v];
          continue;
        }
        const SymbolNode& node = std::get<SymbolNode>(ast_[k]);
        children.clear();
        for (Id child : node.children()) children.push_back(scratch[child]);
        scratch[k] = egraph.find(egraph.add(SymbolNode(node.op(), children)));
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
