#include "store/graph/node_list.h"

namespace brantel::store {

NodeList NodeList::slice(std::size_t from, std::size_t to) const {
  NodeList out;
  if (from >= to) return out;
  const std::uint64_t base = offsets_[from];
  out.bytes_.assign(bytes_.data() + base, offsets_[to] - base);
  out.offsets_.clear();
  out.offsets_.reserve(to - from + 1);
  for (std::size_t i = from; i <= to; ++i) out.offsets_.push_back(offsets_[i] - base);
  return out;
}

}  // namespace brantel::store
