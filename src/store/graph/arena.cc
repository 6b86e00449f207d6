#include "store/graph/arena.h"

#include "support/check.h"

namespace brantel::store {

namespace {

constexpr unsigned kIdsPerTableBits = 8;

// The table of records whose inputs are all below `input_bound`.
std::size_t table_index(NodeId input_bound) {
  return input_bound == 0 ? 0 : static_cast<std::size_t>((input_bound - 1) >> kIdsPerTableBits);
}

}  // namespace

PreparedRecord PreparedRecord::of(const NodeView& view, std::uint64_t seed) {
  return PreparedRecord{view.record(), static_cast<std::uint32_t>(hash_record(view, seed)), bound_of(view.inputs())};
}

NodeArena::NodeArena() : NodeArena(support::random_seed()) {}

NodeArena::NodeArena(std::uint64_t seed) : seed_(seed) {}

bool NodeArena::holds(Entry id, std::string_view record) const {
  // Records are prefix-free: every length and count is read before the bytes it
  // covers, so a record's bytes fix where it ends. When the bytes at a stored
  // record's start match all of `record`, that stored record is `record`.
  const std::string_view stored = nodes_.bytes().substr(nodes_.offset(id));
  if (stored.starts_with(record)) return true;
  // Different bytes can still be one node, through NaN payloads.
  return records_equal(nodes_.record(id), record);
}

support::Result<NodeArena::Interned, StoreError> NodeArena::intern(const PreparedRecord& prepared) {
  const std::size_t n = nodes_.size();
  // Out of range somewhere: parse to name the first offending input. Checked
  // against n, not n + 1: a node may not name itself.
  if (prepared.input_bound > n) {
    const IdsView inputs = NodeView::parse(prepared.record).inputs();
    for (std::uint32_t k = 0; k < inputs.size(); ++k) {
      if (inputs[k] >= n) return support::Err{StoreError{inputs[k]}};
    }
  }
  BRANTEL_CHECK(n < 0xffffffffULL, "node count fits the intern table");
  // The table grows before make() runs and make() appends last, so a failed
  // allocation leaves the arena without the node: a failed add stored nothing.
  const std::size_t k = table_index(prepared.input_bound);
  if (k >= tables_.size()) tables_.resize(k + 1);
  Table& table = tables_[k];
  // A table starts with room for one node per id of its range, which pipelines
  // about fill, instead of growing there from 16 slots: add 10 % / 6 % and
  // deserialize 15 % / 6 % faster at 100,000 / 1,000,000 nodes (medians of 5).
  if (table.size() == 0) table.reserve(std::size_t{1} << kIdsPerTableBits);
  auto [entry, inserted] = table.find_or_insert(
      table_hash(prepared.hash), [&](Entry id) { return holds(id, prepared.record); },
      [&] {
        nodes_.append_record(prepared.record);
        return static_cast<Entry>(n);
      });
  return Interned{entry, inserted};
}

std::optional<NodeId> NodeArena::find(const PreparedRecord& prepared) const {
  // A record naming an id beyond the arena cannot be in it.
  if (prepared.input_bound > nodes_.size()) return std::nullopt;
  const std::size_t k = table_index(prepared.input_bound);
  if (k >= tables_.size()) return std::nullopt;
  const Entry* entry =
      tables_[k].find(table_hash(prepared.hash), [&](Entry id) { return holds(id, prepared.record); });
  if (entry == nullptr) return std::nullopt;
  return *entry;
}

void NodeArena::reserve(std::size_t nodes, std::size_t bytes) {
  nodes_.reserve(nodes_.size() + nodes, nodes_.bytes().size() + bytes);
}

std::size_t NodeArena::memory_bytes() const {
  std::size_t bytes = nodes_.memory_bytes() + tables_.capacity() * sizeof(Table);
  for (const Table& table : tables_) bytes += table.memory_bytes();
  return bytes;
}

}  // namespace brantel::store
