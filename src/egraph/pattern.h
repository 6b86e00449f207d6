// Pattern: a parsed and compiled rewrite pattern, with search and apply.
//
// Phases:
//   parse    text -> s-expression -> post-order AST. An empty list is EmptySexp, a
//            list headed by a list is HeadList, a variable atom heading a list with
//            arguments is UnexpectedVar; a lone atom is a variable (?x) or a
//            childless operator (a lone "?" included).
//   compile  AST -> Program (see program.h), once, at construction.
//   search   runs the program on each candidate class: the classes holding an e-node
//            with the root's operator, or every class when the root is a variable.
//            The limit caps the substitutions returned across all classes. A
//            program that is a single Bind of distinct variables (every rule of the
//            engine) skips the machine: a direct loop over each class's run of
//            e-nodes with the operator emits the same substitutions in the same order.
//   apply    instantiates the pattern for each substitution (hash-consed adds,
//            bottom-up) and unites the result with the matched class, instantiated
//            id first; returns the ids whose union changed the e-graph.
//
// Worked example: applying (op|add ?b ?a) to the match {?a: x, ?b: y} of class C
// adds add(y, x), unites it with C and returns its id; applying the same match again
// adds nothing (hash-consing) and the union returns false, so it counts zero.
//
// Non-goals: no multi-patterns, no conditional rules, no per-class analysis.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/pattern_ast.h"
#include "egraph/program.h"
#include "egraph/subst.h"
#include "egraph/work_budget.h"
#include "support/result.h"

namespace brantel::egraph {

enum class ParseErrorKind {
  kEmptySexp,
  kHeadList,
  kBadSexp,
  kUnexpectedVar,
};

struct ParseError {
  ParseErrorKind kind;
  // The offending atom for kUnexpectedVar, the reader's reason for kBadSexp, the
  // offending list's text for the others.
  std::string detail;

  friend bool operator==(const ParseError&, const ParseError&) = default;
};

std::string describe(const ParseError& error);

class Pattern {
 public:
  // Compiles ast, which must be a well-formed post-order list (children before
  // parents, last entry the root).
  explicit Pattern(PatternAst ast);

  [[nodiscard]] static support::Result<Pattern, ParseError> parse(std::string_view text);

  const PatternAst& ast() const noexcept { return ast_; }
  const Program& program() const noexcept { return program_; }
  // Distinct variables in order of first occurrence.
  const std::vector<Var>& vars() const noexcept { return vars_; }

  std::vector<SearchMatches> search(const EGraph& egraph) const;
  // With `applier`, each substitution notes whether applier's instantiation is
  // already an e-node of its class (Subst::instantiation_present); only an applier
  // that is one operator over variables is checked.
  // With `budget`, one unit per candidate class; once it runs out the search stops
  // and returns the matches found so far.
  std::vector<SearchMatches> search_with_limit(const EGraph& egraph, std::size_t limit,
                                               const Pattern* applier = nullptr,
                                               WorkBudget* budget = nullptr) const;
  // True only when search_with_limit(egraph, count) would certainly return count
  // substitutions: a flat Bind on a clean graph, where every e-node of the
  // operator has the Bind's arity and the classes hold at least count of them,
  // each a match. A scheduler that bans a rule at that count needs no search to
  // know.
  bool matches_at_least(const EGraph& egraph, std::size_t count) const;
  // Substitutions that note their instantiation as present, and none of whose
  // bindings has lost a union since, are skipped: adding the instantiation would
  // find it in the memo and the union with its own class would return false.
  // With `budget`, one unit per substitution; once it runs out the merges made so
  // far stand and the rest of the matches are left alone.
  std::vector<Id> apply_matches(EGraph& egraph, const std::vector<SearchMatches>& matches,
                                WorkBudget* budget = nullptr) const;

  // The pattern as an s-expression, e.g. "(op|add ?b ?a)".
  std::string to_string() const;

  // True when the program is one Bind of the root with a distinct variable in every
  // child slot, e.g. (op|add ?a ?b) or (L ?x); search then takes a direct loop.
  bool is_flat_bind() const noexcept { return flat_bind_; }
  // Search through the general machine even for a flat Bind; for tests that compare
  // the two.
  std::vector<SearchMatches> search_with_machine(const EGraph& egraph, std::size_t limit,
                                                 const Pattern* applier = nullptr,
                                                 WorkBudget* budget = nullptr) const;

 private:
  std::vector<SearchMatches> search_flat_bind(const EGraph& egraph, std::size_t limit,
                                              const Pattern* applier, WorkBudget& budget) const;
  // For an applier that is one operator over variables: whether its instantiation
  // under `subst` is among cls's (canonical, sorted) e-nodes.
  bool instantiation_in(const EClass& cls, const Subst& subst) const;

  PatternAst ast_;
  Program program_;
  std::vector<Var> vars_;
  bool flat_bind_ = false;
  // The root is one operator over variables only, e.g. (op|add ?b ?a).
  bool flat_operator_ = false;
};

}  // namespace brantel::egraph
