// The label template table; see template_table.h.
#include "optimizer/reduce/template_table.h"

#include "support/check.h"
#include "support/hash.h"

namespace brantel::reduce {

TemplateTable::TemplateTable() : seed_(support::random_seed()), key_offsets_{0} {}

void TemplateTable::insert_if_absent(std::string_view k, std::string_view record) {
  BRANTEL_CHECK(records_.size() < 0xffffffffULL, "template count fits the table's 32-bit entries");
  const auto next = static_cast<std::uint32_t>(records_.size());
  const bool inserted = index_.find_or_insert(support::hash_bytes(k.data(), k.size(), seed_),
                                              [&](std::uint32_t i) { return key(i) == k; }, [&] { return next; })
                            .second;
  if (!inserted) return;
  keys_.append(k);
  key_offsets_.push_back(keys_.size());
  records_.push_back(record);
}

std::optional<std::string_view> TemplateTable::find(std::string_view k) const {
  const std::uint32_t* i = index_.find(support::hash_bytes(k.data(), k.size(), seed_),
                                       [&](std::uint32_t j) { return key(j) == k; });
  if (i == nullptr) return std::nullopt;
  return records_[*i];
}

}  // namespace brantel::reduce
