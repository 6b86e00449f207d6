// The identity and commutativity recognisers; why comparing record bytes agrees
// with comparing labels is worked through in fold_rules.h.
#include "optimizer/incremental/fold_rules.h"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "optimizer/engine/rule_set.h"
#include "store/model/label.h"
#include "store/model/node.h"

namespace brantel::incremental {

namespace {

// The record bytes before the input list (tag, name, params) of the four identity
// ops, in the order of the engine's identity labels.
struct IdentityPrefixes {
  // 45 bytes today: tag 1, name 4 + 3, param count 4, "scalar" entry 4 + 6 + 1 + 8,
  // "side" entry 4 + 4 + 1 + 4 + 1. The capacity leaves room for format changes.
  static constexpr std::size_t kCapacity = 64;
  char bytes[4][kCapacity];
  std::size_t size = 0;  // the same for all four: the names and sides have equal lengths
};

// Each prefix comes from the engine's own identity label, parsed back into a node
// and encoded; the round trip through node_label is checked, so the record test
// and the label comparison cannot drift apart.
IdentityPrefixes build_identity_prefixes() {
  IdentityPrefixes p;
  static_assert(engine::kIdentityLabels.size() == 4);
  for (std::size_t k = 0; k < engine::kIdentityLabels.size(); ++k) {
    const std::string_view label = engine::kIdentityLabels[k];
    const std::optional<store::MemberLabel> parsed = store::parse_member_label(label);
    BRANTEL_CHECK(parsed.has_value() && parsed->kind_word == "op", "identity label is an op label");
    const store::Node node = store::Node::op(parsed->name, {}, parsed->params);
    BRANTEL_CHECK(store::node_label(node) == label, "identity label round-trips through a node");
    const std::string record = store::encode_node(node);
    const std::size_t size = store::NodeView::parse(record).inputs_begin();
    BRANTEL_CHECK(size <= IdentityPrefixes::kCapacity, "identity prefix fits its buffer");
    BRANTEL_CHECK(k == 0 || size == p.size, "identity prefixes have one length");
    p.size = size;
    std::memcpy(p.bytes[k], record.data(), size);
  }
  return p;
}

// Built once; trivially destructible, so nothing runs at exit.
const IdentityPrefixes& identity_prefixes() {
  static const IdentityPrefixes prefixes = build_identity_prefixes();
  return prefixes;
}

}  // namespace

bool is_identity_op(const store::NodeView& node) {
  if (node.kind() != store::NodeKind::kOp) return false;
  const IdentityPrefixes& p = identity_prefixes();
  // The length check rejects almost every op before any byte is compared.
  if (node.inputs_begin() != p.size) return false;
  const char* record = node.record().data();
  for (const auto& prefix : p.bytes) {
    if (std::memcmp(record, prefix, p.size) == 0) return true;
  }
  return false;
}

bool is_commutative_pair(const store::NodeView& node) {
  if (node.kind() != store::NodeKind::kOp || node.inputs().size() != 2 || !node.params().empty()) {
    return false;
  }
  for (std::string_view name : engine::kCommutativeOps) {
    if (node.name() == name) return true;
  }
  return false;
}

}  // namespace brantel::incremental
