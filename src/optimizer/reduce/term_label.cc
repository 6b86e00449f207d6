// Term labels; why External and Stage nodes get record keys is in term_label.h.
#include "optimizer/reduce/term_label.h"

#include "store/model/label.h"

namespace brantel::reduce {

namespace {

void append_hex(std::string_view bytes, std::string& out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const std::size_t start = out.size();
  out.resize(start + 2 * bytes.size());
  char* p = out.data() + start;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    *p++ = kDigits[b >> 4];
    *p++ = kDigits[b & 15];
  }
}

// Hex of the record minus its input list. Equal nodes can differ in bytes only
// through NaN payloads, so those records are re-encoded with the canonical NaN.
void append_record_key(std::string_view prefix, const store::NodeView& node, std::string& out) {
  out.append(prefix);
  std::string canonical;  // the re-encoded record, for a node holding a NaN
  store::NodeView view = node;
  if (node.has_nan()) {
    store::Node n = node.to_node();
    n.inputs.clear();
    for (store::ParamEntry& e : n.params) {
      if (auto* f = std::get_if<store::FloatBits>(&e.value)) f->bits = store::canonical_float_bits(f->bits);
    }
    canonical = store::encode_node(n);
    view = store::NodeView::parse(canonical);
  }
  const std::string_view r = view.record();
  append_hex(r.substr(0, view.inputs_begin()), out);
  append_hex(r.substr(view.inputs_end()), out);
}

}  // namespace

void append_term_label(const store::NodeView& node, std::string& out) {
  switch (node.kind()) {
    case store::NodeKind::kExternal: append_record_key(kExternalKeyPrefix, node, out); return;
    case store::NodeKind::kStage: append_record_key(kStageKeyPrefix, node, out); return;
    case store::NodeKind::kSource:
    case store::NodeKind::kOp:
    case store::NodeKind::kReduction:
    case store::NodeKind::kExchange:
    case store::NodeKind::kJoin: store::append_node_label(node, out); return;
  }
  support::panic("node kind is one of the seven kinds");
}

std::string term_label(const store::NodeView& node) {
  std::string out;
  append_term_label(node, out);
  return out;
}

}  // namespace brantel::reduce
