// What the engine's rules match, written out here rather than read from the
// engine's own tables, so that a test driven by these lists fails when a rule
// goes missing: a one-child term with an identity label equals its child, and a
// two-child term whose label is "op|" and a commutative op name commutes.
#pragma once

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

namespace brantel::reference {

inline constexpr std::array<std::string_view, 8> kCommutativeOps = {
    "add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

// add 0.0 and multiply by 1.0, on either side.
inline constexpr std::array<std::string_view, 4> kIdentityLabels = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};

inline bool is_identity(const std::string& label) {
  return std::find(kIdentityLabels.begin(), kIdentityLabels.end(), label) != kIdentityLabels.end();
}

inline bool is_commutative(const std::string& label) {
  return label.starts_with("op|") &&
         std::find(kCommutativeOps.begin(), kCommutativeOps.end(), std::string_view(label).substr(3)) !=
             kCommutativeOps.end();
}

}  // namespace brantel::reference
