#include "store/model/node.h"

#include <algorithm>
#include <bit>

namespace brantel::store {

FloatBits float_bits_of(double value) noexcept { return FloatBits{std::bit_cast<std::uint64_t>(value)}; }
double float_value(FloatBits f) noexcept { return std::bit_cast<double>(f.bits); }

void sort_params(ParamMap& params) {
  // std::string's operator< compares char_traits<char>, which orders bytes as
  // unsigned: exactly key-byte order.
  std::stable_sort(params.begin(), params.end(),
                   [](const ParamEntry& a, const ParamEntry& b) { return a.key < b.key; });
}

namespace {

// The fields every kind but Stage and External is made of; the rest stay empty.
Node make_node(NodeKind kind, std::string name, std::vector<NodeId> inputs, ParamMap params) {
  Node n;
  n.kind = kind;
  n.name = std::move(name);
  n.inputs = std::move(inputs);
  n.params = std::move(params);
  return n;
}

}  // namespace

Node Node::source(std::string name, ParamMap params) {
  return make_node(NodeKind::kSource, std::move(name), {}, std::move(params));
}

Node Node::op(std::string name, std::vector<NodeId> inputs, ParamMap params) {
  return make_node(NodeKind::kOp, std::move(name), std::move(inputs), std::move(params));
}

Node Node::reduction(std::string name, std::vector<NodeId> inputs, ParamMap params) {
  return make_node(NodeKind::kReduction, std::move(name), std::move(inputs), std::move(params));
}

Node Node::external(PayloadDescriptor descriptor, std::vector<NodeId> inputs, ParamMap params) {
  Node n = make_node(NodeKind::kExternal, {}, std::move(inputs), std::move(params));
  n.descriptor = std::move(descriptor);
  return n;
}

Node Node::stage(std::vector<NodeId> inputs, std::vector<StageMember> members) {
  Node n = make_node(NodeKind::kStage, {}, std::move(inputs), {});
  n.members = std::move(members);
  return n;
}

Node Node::exchange(std::vector<NodeId> inputs, ParamMap params) {
  return make_node(NodeKind::kExchange, {}, std::move(inputs), std::move(params));
}

Node Node::join(std::vector<NodeId> inputs, ParamMap params) {
  return make_node(NodeKind::kJoin, {}, std::move(inputs), std::move(params));
}

void hash_append(support::HashState& h, const ParamValue& v) {
  h.add_u64(v.index());
  switch (tag_of(v)) {
    case ParamTag::kInt: h.add_u64(static_cast<std::uint64_t>(std::get<std::int64_t>(v))); break;
    case ParamTag::kFloat: h.add_u64(canonical_float_bits(std::get<FloatBits>(v).bits)); break;
    case ParamTag::kBool: h.add_u64(std::get<bool>(v) ? 1 : 0); break;
    case ParamTag::kStr: h.add_bytes(std::get<std::string>(v)); break;
  }
}

void hash_append(support::HashState& h, const Node& node) {
  h.add_u64(static_cast<std::uint64_t>(node.kind));
  h.add_bytes(node.name);
  h.add_u64(node.params.size());
  for (const ParamEntry& e : node.params) {
    h.add_bytes(e.key);
    hash_append(h, e.value);
  }
  h.add_u64(node.inputs.size());
  for (NodeId id : node.inputs) h.add_u64(id);
  const PayloadDescriptor& d = node.descriptor;
  for (const std::string* s : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
    h.add_bytes(*s);
  }
  h.add_u64(d.preprocessing_ref.has_value());
  if (d.preprocessing_ref) h.add_bytes(*d.preprocessing_ref);
  h.add_u64(node.members.size());
  for (const StageMember& m : node.members) {
    h.add_bytes(m.label);
    h.add_u64(m.args.size());
    for (const StageRef& r : m.args) h.add_u64((r.index << 1) ^ static_cast<std::uint64_t>(r.kind));
  }
}

std::uint64_t hash_node(const Node& node, std::uint64_t seed) {
  support::HashState h(seed);
  hash_append(h, node);
  return h.finish();
}

}  // namespace brantel::store
