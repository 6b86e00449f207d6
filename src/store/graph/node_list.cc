#include "store/graph/node_list.h"

namespace brantel::store {

NodeList NodeList::slice(std::size_t from, std::size_t to) const {
  NodeList out;
  copy_slice(from, to, out);
  return out;
}

void NodeList::copy_slice(std::size_t from, std::size_t to, NodeList& out) const {
  out.offsets_.clear();
  if (from >= to) {
    out.bytes_.clear();
    out.offsets_.push_back(0);
    return;
  }
  const std::uint64_t base = offsets_[from];
  out.bytes_.assign(bytes_, base, offsets_[to] - base);
  out.offsets_.reserve(to - from + 1);
  for (std::size_t i = from; i <= to; ++i) out.offsets_.push_back(offsets_[i] - base);
}

}  // namespace brantel::store
