#include "egraph/symbol_node.h"

namespace brantel::egraph {

std::string SymbolNode::to_string() const {
  std::string out(op_.is_null() ? std::string_view("<null>") : op_.text());
  if (size_ == 0) return out;
  out += '(';
  for (std::uint32_t k = 0; k < size_; ++k) {
    if (k > 0) out += ", ";
    out += std::to_string(data()[k]);
  }
  out += ')';
  return out;
}

}  // namespace brantel::egraph
