#include "store/graph/node_list.h"

namespace brantel::store {

NodeList NodeList::slice(std::size_t from, std::size_t to) const {
  NodeList out;
  copy_slice(from, to, out);
  return out;
}

void NodeList::copy_slice(std::size_t from, std::size_t to, NodeList& out) const {
  out.bytes_.clear();
  out.offsets_.clear();
  if (from >= to) {
    out.offsets_.push_back(0);
    return;
  }
  const std::uint64_t base = offsets_[from];
  out.bytes_.assign(bytes_.data() + base, offsets_[to] - base);
  // One flat pass that the compiler vectorises: a slice is often a million offsets.
  const std::uint64_t* src = offsets_.data() + from;
  std::uint64_t* dst = out.offsets_.extend(to - from + 1);
  for (std::size_t i = 0; i <= to - from; ++i) dst[i] = src[i] - base;
}

}  // namespace brantel::store
