// Graphviz DOT text of a node list: one node line per node (doublecircle for
// output marks), then one edge line per input slot, in id and input order.
#pragma once

#include <string>
#include <vector>

#include "store/graph/node_list.h"

namespace brantel::store {

std::string render_dot(const NodeList& nodes, const std::vector<NodeId>& output_marks);

// The display of a float in DOT labels: the shortest decimal that reads back to
// the same double, never in exponent form ("1", "0.5", "-0", "NaN", "inf").
std::string display_float(double value);

// The quoted, escaped form of a string used in views and error messages:
// "..." with \\ \" \t \r \n \0 and \u{hex} for other non-printables.
std::string quote_escaped(std::string_view text);

}  // namespace brantel::store
