// Var and PatternAst: the syntax tree of a rewrite pattern.
//
// A pattern is a flat list of entries in post-order: each entry is a variable or an
// operator node (a SymbolNode) whose children are indices of earlier entries; the
// last entry is the root. Repeated subterms are not shared.
//
// Example: (op|add ?a (op|neg ?a)) is [?a, ?a, op|neg(1), op|add(0, 2)].
//
// Non-goals: no sharing of equal subtrees, no typed holes; a variable is only a name.
#pragma once

#include <compare>
#include <string_view>
#include <variant>
#include <vector>

#include "egraph/symbol.h"
#include "egraph/symbol_node.h"

namespace brantel::egraph {

// A pattern variable, named by its full text including the leading "?".
struct Var {
  Symbol name;

  static Var of(std::string_view text) { return Var{Symbol::intern(text)}; }
  std::string_view text() const { return name.text(); }
  friend bool operator==(Var, Var) noexcept = default;
  friend auto operator<=>(Var, Var) noexcept = default;
};

// An atom is a variable when it starts with "?" and has at least one more character;
// a lone "?" is an ordinary operator.
inline bool is_var_atom(std::string_view atom) noexcept {
  return atom.size() > 1 && atom.front() == '?';
}

using PatternNode = std::variant<Var, SymbolNode>;
using PatternAst = std::vector<PatternNode>;

}  // namespace brantel::egraph
