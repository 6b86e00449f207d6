// Node labels: the one-line operator text of a node without its inputs.
//
// Labels are the engine's operator symbols, the member names inside Stage nodes
// and the key the reduction rebuilds nodes from, so their grammar is reproduced
// character for character: "src|", "op|", "red|" + escaped name; "ext|" + the six
// descriptor fields (unescaped, absent reference "-"); "stage|" + member count;
// "exch"; "join"; then, for all but stages with at least one parameter, "|" +
// param_text. param_text is key=token joined by ";", tokens typed by their first
// letter: i (decimal), f (16 lowercase hex digits of the canonical bits),
// b (true/false), s (escaped text).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "store/model/node.h"
#include "store/model/record.h"

namespace brantel::store {

// "%" -> "%25" first, then ";" "=" "|"; unescaping reverses in the opposite order.
std::string escape_label_text(std::string_view text);
std::string unescape_label_text(std::string_view text);

std::string param_text(const ParamMap& params);
std::string param_text(const ParamsView& params);

std::string node_label(const Node& node);
std::string node_label(const NodeView& node);
// Appends the label to `out` (no allocation when `out` has room).
void append_node_label(const NodeView& node, std::string& out);

std::optional<ParamMap> parse_param_text(std::string_view text);

struct MemberLabel {
  std::string kind_word;  // "op" or "red"
  std::string name;
  ParamMap params;
  friend bool operator==(const MemberLabel&, const MemberLabel&) = default;
};
std::optional<MemberLabel> parse_member_label(std::string_view label);

}  // namespace brantel::store
