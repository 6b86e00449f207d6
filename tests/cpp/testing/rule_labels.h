// What the engine's rules match, restated by label for the tests' reference
// closures: a one-child term with an identity label equals its child, and a
// two-child term whose label is "op|" and a commutative op name commutes.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

#include "optimizer/engine/rule_set.h"

namespace brantel::reference {

inline bool is_identity(const std::string& label) {
  const auto& labels = engine::kIdentityLabels;
  return std::find(labels.begin(), labels.end(), label) != labels.end();
}

inline bool is_commutative(const std::string& label) {
  const auto& ops = engine::kCommutativeOps;
  return label.starts_with("op|") && std::find(ops.begin(), ops.end(), std::string_view(label).substr(3)) != ops.end();
}

}  // namespace brantel::reference
