// TemplateTable: term label to the record of the first node that carried it.
//
// A boundary node is rebuilt as a copy of its label's template with new inputs,
// so the template must agree with every node of that label on everything but
// the inputs; term labels (term_label.h) guarantee that. Keys are copied into one
// buffer (no allocation per key); records are borrowed and must outlive the
// table, which they do: they point into the arena being reduced.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/hash_table.h"

namespace brantel::reduce {

class TemplateTable {
 public:
  TemplateTable();

  // Keeps the first record given for a key.
  void insert_if_absent(std::string_view key, std::string_view record);
  std::optional<std::string_view> find(std::string_view key) const;
  std::size_t size() const { return records_.size(); }

 private:
  std::string_view key(std::uint32_t i) const {
    return std::string_view(keys_).substr(key_offsets_[i], key_offsets_[i + 1] - key_offsets_[i]);
  }

  std::uint64_t seed_;
  std::string keys_;
  std::vector<std::uint64_t> key_offsets_;  // size() + 1 entries
  std::vector<std::string_view> records_;
  support::HashTable<std::uint32_t> index_;  // indices into records_
};

}  // namespace brantel::reduce
