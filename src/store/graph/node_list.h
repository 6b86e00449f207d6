// A flat list of encoded node records: the copy that readers take of a store's
// arena, and the arena itself. One byte string plus offsets keeps a million-node
// copy to two allocations and a memcpy.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/model/node.h"
#include "store/model/record.h"
#include "support/huge_pages.h"

namespace brantel::store {

class NodeList {
 public:
  NodeList() { offsets_.push_back(0); }

  std::size_t size() const { return offsets_.size() - 1; }
  bool empty() const { return size() == 0; }
  std::string_view record(std::size_t i) const {
    return std::string_view(bytes_.data() + offsets_[i], offsets_[i + 1] - offsets_[i]);
  }
  NodeView view(std::size_t i) const { return NodeView::parse(record(i)); }
  Node node(std::size_t i) const { return view(i).to_node(); }

  // The concatenated records, in id order: exactly the blob's node section.
  std::string_view bytes() const { return bytes_; }
  // Where record i starts in bytes().
  std::uint64_t offset(std::size_t i) const { return offsets_[i]; }

  // Room for the offset first, doubling as push_back would: a failed allocation
  // then leaves the list as it was.
  void append_record(std::string_view record) {
    if (offsets_.size() == offsets_.capacity()) offsets_.reserve(2 * offsets_.size());
    bytes_.append(record);
    offsets_.push_back(bytes_.size());
  }
  void append(const Node& node) { append_record(encode_node(node)); }
  // Records in [from, to) as a new list.
  NodeList slice(std::size_t from, std::size_t to) const;
  // The same into `out`, whose buffers are reused: a caller that copies slice
  // after slice allocates once.
  void copy_slice(std::size_t from, std::size_t to, NodeList& out) const;
  void reserve(std::size_t nodes, std::size_t bytes) {
    offsets_.reserve(nodes + 1);
    bytes_.reserve(bytes);
  }
  std::size_t memory_bytes() const { return bytes_.capacity() + offsets_.capacity() * sizeof(std::uint64_t); }

  friend bool operator==(const NodeList& a, const NodeList& b) {
    return a.bytes_ == b.bytes_ && a.offsets_ == b.offsets_;
  }

 private:
  std::basic_string<char, std::char_traits<char>, support::HugePageAllocator<char>> bytes_;
  support::HugeVector<std::uint64_t> offsets_;  // size() + 1 entries; record i is [offsets_[i], offsets_[i+1])
};

}  // namespace brantel::store
