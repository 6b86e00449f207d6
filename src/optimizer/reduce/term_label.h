// The label a node carries inside one reduction: its engine operator symbol and
// the key of the template it is rebuilt from.
//
// For most kinds this is node_label itself. node_label leaves two kinds
// ambiguous, and a reduction that keyed on it would merge different nodes or
// rebuild one node from another's template:
//   - External labels write the descriptor fields unescaped, so kind "a|b" with
//     content hash "c" and kind "a" with content hash "b|c" share a label (and an
//     absent preprocessing_ref reads "-", like a present "-");
//   - a Stage label is "stage|" + member count, whatever the members are.
// Those two kinds get an injective key instead: a prefix ("ext#", "stage#") that
// no node label starts with, then the lowercase hex of the node's record without
// its input list, with NaN payloads made canonical so that nodes equal under node
// equality get one key. The record encoding is length-prefixed, so the bytes
// determine every field. Neither key starts with "op|", so the engine treats
// both as opaque.
//
// The remaining labels are already injective on a node minus its inputs: names,
// parameter keys and string values are escaped, so "|" only separates the name
// from the parameter text, and the typed tokens of param_text decode uniquely
// ("src|", "red|", "op|", "exch", "join" prefixes keep kinds apart). Keeping them
// as node labels leaves op labels as the rewrite rules expect them.
//
// Example: External nodes with (kind "a|b", content_hash "c") and (kind "a",
// content_hash "b|c"), other fields equal, both have the node label
// "ext|a|b|c|f|v|io|-". Their term labels begin "ext#0303000000617c6201000000"
// and "ext#03010000006103000000627c63" (tag 03, then each field as a u32 length
// and its bytes): different, because the lengths say where each field ends.
//
// Not done here: nothing outside the reduction sees these keys. Stage members
// keep the op labels, the emitted nodes are rebuilt from template records, and
// node_label itself is unchanged.
#pragma once

#include <string>
#include <string_view>

#include "store/model/record.h"

namespace brantel::reduce {

inline constexpr std::string_view kExternalKeyPrefix = "ext#";
inline constexpr std::string_view kStageKeyPrefix = "stage#";

// Appends the term label of `node` to `out`.
void append_term_label(const store::NodeView& node, std::string& out);
std::string term_label(const store::NodeView& node);

}  // namespace brantel::reduce
