// The label template table; see template_table.h.
#include "optimizer/reduce/template_table.h"

#include "support/hash.h"

namespace brantel::reduce {

TemplateTable::TemplateTable() : seed_(support::random_seed()), key_offsets_{0} {}

void TemplateTable::insert_if_absent(std::string_view k, std::string_view record) {
  const std::uint64_t hash = support::hash_bytes(k.data(), k.size(), seed_);
  bool inserted = false;
  index_.find_or_insert(hash, records_.size(), inserted,
                        [&](std::uint64_t i) { return key(i) == k; });
  if (!inserted) return;
  keys_.append(k);
  key_offsets_.push_back(keys_.size());
  records_.push_back(record);
}

std::optional<std::string_view> TemplateTable::find(std::string_view k) const {
  const std::uint64_t hash = support::hash_bytes(k.data(), k.size(), seed_);
  const std::optional<std::uint64_t> i = index_.find(hash, [&](std::uint64_t j) { return key(j) == k; });
  if (!i) return std::nullopt;
  return records_[*i];
}

}  // namespace brantel::reduce
