// The engine's rule vocabulary: eight commutative op names and four identity labels,
// and the twelve rewrite rules built from them.
//
// Rule order: commute-add ... commute-minimum ((op|N ?a ?b) => (op|N ?b ?a)), then
// identity-0 ... identity-3 ((L ?x) => ?x), L being x + 0.0 and x * 1.0 with the
// scalar on either side. A label matches a rule only by exact text, so parameterised
// adds, integer or negative-zero scalars and three-input adds are left alone.
//
// The incremental reducer applies the same vocabulary without an e-graph, which is
// why the lists are exported.
#pragma once

#include <array>
#include <string_view>
#include <vector>

#include "egraph/rewrite.h"

namespace brantel::engine {

inline constexpr std::array<std::string_view, 8> kCommutativeOps = {
    "add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

inline constexpr std::array<std::string_view, 4> kIdentityLabels = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};

// Parses the twelve rules; a failure is an internal error, since the text is fixed.
std::vector<egraph::Rewrite> build_rule_set();

}  // namespace brantel::engine
