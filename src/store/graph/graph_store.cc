#include "store/graph/graph_store.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "store/graph/dot.h"
#include "support/check.h"

namespace brantel::store {

using support::PoisonGuard;

namespace {

std::uint64_t next_store_serial() {
  // Constant-initialised and trivially destructible: safe from any thread at any
  // time, including static construction and exit.
  static std::atomic<std::uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace

GraphStore::GraphStore() : seed_(support::random_seed()), serial_(next_store_serial()), arena_(seed_) {}

support::Result<NodeId, StoreError> GraphStore::intern(const PreparedRecord& prepared) {
  PoisonGuard lock(mu_);
  auto r = arena_.intern(prepared);
  if (const StoreError* e = r.error()) return support::Err{*e};
  return r->id;
}

support::Result<support::Unit, StoreError> GraphStore::intern_all(std::span<const PreparedRecord> records,
                                                                  std::span<NodeId> ids) {
  BRANTEL_CHECK(ids.size() >= records.size(), "one id slot per record");
  PoisonGuard lock(mu_);
  for (std::size_t k = 0; k < records.size(); ++k) {
    auto r = arena_.intern(records[k]);
    if (const StoreError* e = r.error()) return support::Err{*e};
    ids[k] = r->id;
  }
  return support::Unit{};
}

support::Result<support::Unit, StoreError> GraphStore::mark_output(NodeId id) {
  PoisonGuard lock(mu_);
  if (id >= arena_.size()) return support::Err{StoreError{id}};
  if (marked_.size() <= id) marked_.resize(arena_.size(), false);
  if (!marked_[id]) {
    outputs_.push_back(id);  // first, so that a failed allocation marks nothing
    marked_[id] = true;
  }
  return support::Unit{};
}

void GraphStore::reserve(std::size_t nodes, std::size_t bytes) {
  PoisonGuard lock(mu_);
  arena_.reserve(nodes, bytes);
}

std::uint64_t GraphStore::node_count() const {
  PoisonGuard lock(mu_);
  return arena_.size();
}

Snapshot GraphStore::snapshot() const {
  PoisonGuard lock(mu_);
  return Snapshot{arena_.nodes(), outputs_};
}

StoreExtent GraphStore::extent() const {
  PoisonGuard lock(mu_);
  const std::size_t count = arena_.size();
  return StoreExtent{count, arena_.nodes().offset(count), outputs_};
}

void GraphStore::copy_records(std::uint64_t count, std::span<char> out) const {
  PoisonGuard lock(mu_);
  const NodeList& nodes = arena_.nodes();
  BRANTEL_CHECK(count <= nodes.size() && out.size() == nodes.offset(count),
                "copy_records is given a prefix of the store and a buffer of its size");
  std::memcpy(out.data(), nodes.bytes().data(), out.size());
}

NodeList GraphStore::nodes() const {
  PoisonGuard lock(mu_);
  return arena_.nodes();
}

std::vector<NodeId> GraphStore::output_marks() const {
  PoisonGuard lock(mu_);
  return outputs_;
}

std::vector<NodeMapEntry> GraphStore::node_map() const {
  PoisonGuard lock(mu_);
  return node_map_;
}

NodeList GraphStore::nodes_since(std::uint64_t watermark) const {
  NodeList out;
  copy_nodes_since(watermark, ~std::uint64_t{0}, out);
  return out;
}

GraphStore::Delta GraphStore::copy_nodes_since(std::uint64_t watermark, std::uint64_t max_count,
                                               NodeList& out) const {
  PoisonGuard lock(mu_);
  const NodeList& nodes = arena_.nodes();
  const std::size_t n = arena_.size();
  const std::size_t from = watermark < n ? watermark : n;
  nodes.copy_slice(from, from + std::min<std::uint64_t>(max_count, n - from), out);
  return Delta{n, nodes.offset(n) - nodes.offset(from)};
}

std::string GraphStore::to_dot() const {
  PoisonGuard lock(mu_);
  return render_dot(arena_.nodes(), outputs_);
}

void GraphStore::set_node_map(std::vector<NodeMapEntry> map) {
  PoisonGuard lock(mu_);
  node_map_ = std::move(map);
}

std::size_t GraphStore::memory_bytes() const {
  PoisonGuard lock(mu_);
  return arena_.memory_bytes() + outputs_.capacity() * sizeof(NodeId) + marked_.capacity() / 8 +
         node_map_.capacity() * sizeof(NodeMapEntry);
}

}  // namespace brantel::store
