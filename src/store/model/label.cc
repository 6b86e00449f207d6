#include "store/model/label.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <system_error>
#include <type_traits>
#include <variant>

namespace brantel::store {

namespace {

// The four characters the label grammar uses as separators, with their escapes.
// "%" is escaped too, so that an escaped text never contains a bare "%" that
// unescaping could misread.
struct Escape {
  char plain;
  std::string_view escaped;
};
constexpr Escape kEscapes[] = {{'%', "%25"}, {';', "%3B"}, {'=', "%3D"}, {'|', "%7C"}};

constexpr bool needs_escape(char c) noexcept { return c == '%' || c == ';' || c == '=' || c == '|'; }

// Escaping in one pass equals the four ordered whole-text replacements: after
// "%" -> "%25" every later replacement inserts text ("%3B", "%3D", "%7C") that
// contains none of the characters still to be replaced.
void append_escaped(std::string& out, std::string_view text) {
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!needs_escape(text[i])) [[likely]] continue;
    out.append(text.data() + run, i - run);
    for (const Escape& e : kEscapes) {
      if (e.plain == text[i]) out.append(e.escaped);
    }
    run = i + 1;
  }
  out.append(text.data() + run, text.size() - run);
}

// The ordered replacements "%7C", "%3D", "%3B", "%25" can be done in one pass:
// no two of the four patterns overlap (each starts with "%" and none contains
// another "%"), and no replacement produces a character that could complete a
// later pattern, so every match of the ordered passes is a match in the original.
void append_unescaped(std::string& out, std::string_view text) {
  std::size_t run = 0;
  std::size_t i = 0;
  while ((i = text.find('%', i)) != std::string_view::npos) {
    const std::string_view candidate = text.substr(i, 3);
    const auto* e = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                 [&](const Escape& x) { return x.escaped == candidate; });
    if (e == std::end(kEscapes)) {
      ++i;
      continue;
    }
    out.append(text.data() + run, i - run);
    out.push_back(e->plain);
    i += 3;
    run = i;
  }
  out.append(text.data() + run, text.size() - run);
}

template <typename Integer>
void append_decimal(std::string& out, Integer v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void append_float_token(std::string& out, std::uint64_t bits) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::uint64_t canonical = canonical_float_bits(bits);
  char buf[17];
  buf[0] = 'f';
  for (int i = 0; i < 16; ++i) buf[16 - i] = kHex[(canonical >> (4 * i)) & 0xf];
  out.append(buf, sizeof buf);
}

// One token per parameter type; the first letter names the type.
void append_typed_token(std::string& out, std::int64_t v) {
  out.push_back('i');
  append_decimal(out, v);
}
void append_typed_token(std::string& out, FloatBits v) { append_float_token(out, v.bits); }
void append_typed_token(std::string& out, bool v) { out.append(v ? "btrue" : "bfalse"); }
void append_typed_token(std::string& out, std::string_view v) {
  out.push_back('s');
  append_escaped(out, v);
}

void append_token(std::string& out, const ParamValue& v) {
  std::visit([&out](const auto& x) { append_typed_token(out, x); }, v);
}

void append_token(std::string& out, const ParamEntryView& e) {
  switch (e.tag) {
    case ParamTag::kInt: append_typed_token(out, e.int_value); break;
    case ParamTag::kFloat: append_typed_token(out, FloatBits{e.float_bits}); break;
    case ParamTag::kBool: append_typed_token(out, e.bool_value); break;
    case ParamTag::kStr: append_typed_token(out, e.str_value); break;
  }
}

template <typename Params>
void append_param_text(std::string& out, const Params& params) {
  bool first = true;
  for (const auto& e : params) {
    if (!first) out.push_back(';');
    first = false;
    append_escaped(out, e.key);
    out.push_back('=');
    if constexpr (std::is_same_v<Params, ParamMap>) {
      append_token(out, e.value);
    } else {
      append_token(out, e);
    }
  }
}

DescriptorView view_of(const PayloadDescriptor& d) {
  DescriptorView v{d.kind, d.content_hash, d.framework, d.version, d.io_schema, false, {}};
  v.has_preprocessing_ref = d.preprocessing_ref.has_value();
  if (d.preprocessing_ref) v.preprocessing_ref = *d.preprocessing_ref;
  return v;
}

// Descriptor fields go in unescaped: a "|" inside one makes the label ambiguous,
// which is accepted, because labels are never parsed back for external nodes.
void append_descriptor(std::string& out, const DescriptorView& d) {
  for (std::string_view s : {d.kind, d.content_hash, d.framework, d.version, d.io_schema}) {
    out.append(s);
    out.push_back('|');
  }
  out.append(d.has_preprocessing_ref ? d.preprocessing_ref : "-");
}

// The label of one kind, given its parts; shared by Node and NodeView so the two
// cannot drift apart.
template <typename Params>
void append_label(std::string& out, NodeKind kind, std::string_view name, const Params& params,
                  std::size_t member_count, const DescriptorView& descriptor) {
  constexpr std::string_view kPrefix[kNodeKindCount] = {"src|", "op|", "red|", "ext|", "stage|", "exch", "join"};
  out.append(kPrefix[static_cast<std::size_t>(kind)]);
  switch (kind) {
    case NodeKind::kSource:
    case NodeKind::kOp:
    case NodeKind::kReduction: append_escaped(out, name); break;
    case NodeKind::kExternal: append_descriptor(out, descriptor); break;
    case NodeKind::kStage:
      // A stage label never carries parameters.
      append_decimal(out, member_count);
      return;
    default: break;
  }
  if (params.size() != 0) {
    out.push_back('|');
    append_param_text(out, params);
  }
}

// `s` whole as a number in `base`, with an optional "+" (from_chars takes only
// a "-", and that only for signed types), at least one digit, no overflow.
template <typename Number>
std::optional<Number> parse_number(std::string_view s, int base) {
  if (!s.empty() && s[0] == '+') {
    s.remove_prefix(1);
    if (!s.empty() && s[0] == '-') return std::nullopt;
  }
  Number v{};
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (error != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<ParamValue> parse_value_token(std::string_view token) {
  if (token.empty()) return std::nullopt;
  const std::string_view payload = token.substr(1);
  switch (token[0]) {
    case 'b':
      if (payload == "true") return ParamValue(std::in_place_index<2>, true);
      if (payload == "false") return ParamValue(std::in_place_index<2>, false);
      return std::nullopt;
    case 'f': {
      const auto bits = parse_number<std::uint64_t>(payload, 16);
      if (!bits) return std::nullopt;
      return ParamValue(std::in_place_index<1>, FloatBits{*bits});
    }
    case 'i': {
      const auto v = parse_number<std::int64_t>(payload, 10);
      if (!v) return std::nullopt;
      return ParamValue(std::in_place_index<0>, *v);
    }
    case 's': return ParamValue(std::in_place_index<3>, unescape_label_text(payload));
    default: return std::nullopt;
  }
}

}  // namespace

std::string escape_label_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text);
  return out;
}

std::string unescape_label_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_unescaped(out, text);
  return out;
}

std::string param_text(const ParamMap& params) {
  std::string out;
  append_param_text(out, params);
  return out;
}

std::string param_text(const ParamsView& params) {
  std::string out;
  append_param_text(out, params);
  return out;
}

std::string node_label(const Node& node) {
  std::string out;
  append_label(out, node.kind, node.name, node.params, node.members.size(), view_of(node.descriptor));
  return out;
}

void append_node_label(const NodeView& node, std::string& out) {
  append_label(out, node.kind(), node.name(), node.params(), node.members().size(), node.descriptor());
}

std::string node_label(const NodeView& node) {
  std::string out;
  append_node_label(node, out);
  return out;
}

std::optional<ParamMap> parse_param_text(std::string_view text) {
  ParamMap out;
  if (text.empty()) return out;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = std::min(text.find(';', start), text.size());
    const std::string_view piece = text.substr(start, end - start);
    // An empty piece (";;", a leading or a trailing ";") is not an entry.
    if (piece.empty()) return std::nullopt;
    const std::size_t eq = piece.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    auto value = parse_value_token(piece.substr(eq + 1));
    if (!value) return std::nullopt;
    out.push_back(ParamEntry{unescape_label_text(piece.substr(0, eq)), std::move(*value)});
    if (end == text.size()) break;
    start = end + 1;
  }
  sort_params(out);
  return out;
}

std::optional<MemberLabel> parse_member_label(std::string_view label) {
  const std::size_t bar1 = label.find('|');
  if (bar1 == std::string_view::npos) return std::nullopt;
  const std::string_view kind_word = label.substr(0, bar1);
  if (kind_word != "op" && kind_word != "red") return std::nullopt;
  const std::size_t bar2 = label.find('|', bar1 + 1);
  const std::string_view name_piece =
      label.substr(bar1 + 1, bar2 == std::string_view::npos ? std::string_view::npos : bar2 - bar1 - 1);
  MemberLabel out{std::string(kind_word), unescape_label_text(name_piece), {}};
  if (bar2 != std::string_view::npos) {
    // The remainder keeps any further "|" (a string value may hold one unescaped).
    auto params = parse_param_text(label.substr(bar2 + 1));
    if (!params) return std::nullopt;
    out.params = std::move(*params);
  }
  return out;
}

}  // namespace brantel::store
