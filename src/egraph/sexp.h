// A minimal s-expression reader for rewrite patterns.
//
// Grammar: an s-expression is an atom (a run of characters other than white space
// and parentheses) or a parenthesised list of s-expressions separated by white space.
// read_sexp() trims the text and reads exactly one s-expression; anything else
// (nothing at all, an unbalanced parenthesis, text after the expression) is refused
// with a short reason.
//
// Example: "(op|add ?a ?b)" reads as a list of the atoms op|add, ?a and ?b.
//
// Non-goals: no quoted atoms, no comments, no positions in the error text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace brantel::egraph {

struct Sexp {
  bool is_list = false;
  std::string atom;         // when !is_list
  std::vector<Sexp> items;  // when is_list
};

[[nodiscard]] support::Result<Sexp, std::string> read_sexp(std::string_view text);

}  // namespace brantel::egraph
