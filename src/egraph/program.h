// Program: a pattern compiled into register instructions, and the backtracking
// machine that runs it against one e-class of a clean e-graph (e-matching).
//
// Compilation (root in register 0) walks a work list of (pattern entry, register)
// pairs, first in first out:
//   - a variable seen for the first time is bound to that register (no instruction);
//   - a variable seen before emits Compare(i, j) against its first register;
//   - an operator node whose subtree has only bound variables (a ground subterm)
//     emits Lookup: the subterm, bottom-up, checked against the register;
//   - any other operator node with k children emits Bind(node, i, out): each e-node of
//     class i with that operator and arity puts its children in registers out..out+k-1.
// Scan(out) visits every class; it starts the later patterns of a multi-pattern and is
// never emitted for a single pattern.
//
// Running: register 0 holds the class searched; instructions execute in order, depth
// first, Bind iterating the class's sorted e-nodes. Reaching the end emits a Subst of
// every variable's register (resolved to its root) and counts it against the limit;
// hitting the limit stops the whole run.
//
// Worked example: (op|add ?a ?b) compiles to one Bind(op|add/2, 0, 1) with ?a in
// register 1 and ?b in register 2. On a class {add(x, y), add(y, x)} it emits
// {?a: x, ?b: y} then {?a: y, ?b: x}.
//
// Non-goals: no multi-pattern compilation (hence no Scan from the compiler), no
// instruction reordering for selectivity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/pattern_ast.h"
#include "egraph/subst.h"

namespace brantel::egraph {

using Register = std::uint32_t;

struct Bind {
  SymbolNode node;  // the operator with placeholder children; only its shape is used
  Register i = 0;
  Register out = 0;
};
struct Compare {
  Register i = 0;
  Register j = 0;
};
// Entries of a Lookup term: an operator node whose children index earlier entries,
// or a register holding a bound variable's class.
struct ENode {
  SymbolNode node;
};
struct Reg {
  Register reg = 0;
};
using TermEntry = std::variant<ENode, Reg>;
struct Lookup {
  std::vector<TermEntry> term;  // bottom-up; the last entry is the subterm's root
  Register i = 0;
};
struct Scan {
  Register out = 0;
};
using Instruction = std::variant<Bind, Compare, Lookup, Scan>;

struct Program {
  std::vector<Instruction> instructions;
  std::vector<std::pair<Var, Register>> subst;  // each variable's register on success
  Register register_count = 1;

  static Program compile(const PatternAst& ast);

  // Appends the substitutions found in eclass, at most limit of them, to out. The
  // e-graph must be clean ("Tried to search a dirty e-graph!" otherwise).
  void run(const EGraph& egraph, Id eclass, std::size_t limit, std::vector<Subst>& out) const;
  // The same, with a caller-owned register list, so that searching many classes
  // allocates registers once.
  void run(const EGraph& egraph, Id eclass, std::size_t limit, std::vector<Subst>& out,
           std::vector<Id>& registers) const;

  // Debug form, e.g. Program { instructions: [Bind { node: op|add/2, i: 0, out: 1 }],
  // subst: {?a: 1, ?b: 2} }.
  std::string to_string() const;
};

}  // namespace brantel::egraph
