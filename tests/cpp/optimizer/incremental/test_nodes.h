// Node-building shorthands shared by the incremental reducer tests.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "store/graph/graph_store.h"
#include "store/model/node.h"

namespace brantel::incremental::test_nodes {

inline store::ParamValue int_value(std::int64_t v) { return store::ParamValue(std::in_place_index<0>, v); }
inline store::ParamValue float_value(double v) {
  return store::ParamValue(std::in_place_index<1>, store::float_bits_of(v));
}
inline store::ParamValue float_bits_value(std::uint64_t bits) {
  return store::ParamValue(std::in_place_index<1>, store::FloatBits{bits});
}
inline store::ParamValue bool_value(bool v) { return store::ParamValue(std::in_place_index<2>, v); }
inline store::ParamValue str_value(std::string v) {
  return store::ParamValue(std::in_place_index<3>, std::move(v));
}

// Sorted, as every producer leaves a map.
inline store::ParamMap params(std::vector<store::ParamEntry> entries) {
  store::sort_params(entries);
  return entries;
}

inline store::ParamMap identity_params(double scalar, const char* side) {
  return params({{"scalar", float_value(scalar)}, {"side", str_value(side)}});
}

// Interns into a store; a test graph that names a missing node is a test bug.
inline store::NodeId add(store::GraphStore& store, const store::Node& node) {
  auto id = store.intern(node);
  if (!id) throw std::logic_error("test graph names a missing node");
  return *id;
}

inline store::NodeId source(store::GraphStore& store, const std::string& name) {
  return add(store, store::Node::source(name));
}

inline store::NodeId op(store::GraphStore& store, const std::string& name, std::vector<store::NodeId> inputs,
                        store::ParamMap p = {}) {
  return add(store, store::Node::op(name, std::move(inputs), std::move(p)));
}

inline store::NodeList node_list(const std::vector<store::Node>& nodes) {
  store::NodeList list;
  for (const store::Node& n : nodes) list.append(n);
  return list;
}

}  // namespace brantel::incremental::test_nodes
