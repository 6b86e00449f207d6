#include "store/model/label.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <type_traits>

namespace brantel::store {

namespace {

// The four characters the label grammar uses as separators. "%" is escaped too,
// so that an escaped text never contains a bare "%" that unescaping could misread.
constexpr bool needs_escape(char c) noexcept { return c == '%' || c == ';' || c == '=' || c == '|'; }

// Escaping in one pass equals the four ordered whole-text replacements: after
// "%" -> "%25" every later replacement inserts text ("%3B", "%3D", "%7C") that
// contains none of the characters still to be replaced.
void append_escaped(std::string& out, std::string_view text) {
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!needs_escape(c)) [[likely]] continue;
    out.append(text.data() + run, i - run);
    switch (c) {
      case '%': out.append("%25", 3); break;
      case ';': out.append("%3B", 3); break;
      case '=': out.append("%3D", 3); break;
      default: out.append("%7C", 3); break;
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
  while (i < text.size()) {
    if (text[i] != '%' || text.size() - i < 3) {
      ++i;
      continue;
    }
    char decoded = 0;
    const char a = text[i + 1];
    const char b = text[i + 2];
    if (a == '7' && b == 'C') {
      decoded = '|';
    } else if (a == '3' && b == 'D') {
      decoded = '=';
    } else if (a == '3' && b == 'B') {
      decoded = ';';
    } else if (a == '2' && b == '5') {
      decoded = '%';
    } else {
      ++i;
      continue;
    }
    out.append(text.data() + run, i - run);
    out.push_back(decoded);
    i += 3;
    run = i;
  }
  out.append(text.data() + run, text.size() - run);
}

void append_decimal(std::string& out, std::uint64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void append_int_token(std::string& out, std::int64_t v) {
  char buf[24];
  buf[0] = 'i';
  const auto r = std::to_chars(buf + 1, buf + sizeof buf, v);
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

void append_bool_token(std::string& out, bool v) {
  if (v) {
    out.append("btrue", 5);
  } else {
    out.append("bfalse", 6);
  }
}

void append_str_token(std::string& out, std::string_view v) {
  out.push_back('s');
  append_escaped(out, v);
}

void append_token(std::string& out, const ParamValue& v) {
  switch (tag_of(v)) {
    case ParamTag::kInt: append_int_token(out, std::get<std::int64_t>(v)); break;
    case ParamTag::kFloat: append_float_token(out, std::get<FloatBits>(v).bits); break;
    case ParamTag::kBool: append_bool_token(out, std::get<bool>(v)); break;
    case ParamTag::kStr: append_str_token(out, std::get<std::string>(v)); break;
  }
}

void append_token(std::string& out, const ParamEntryView& e) {
  switch (e.tag) {
    case ParamTag::kInt: append_int_token(out, e.int_value); break;
    case ParamTag::kFloat: append_float_token(out, e.float_bits); break;
    case ParamTag::kBool: append_bool_token(out, e.bool_value); break;
    case ParamTag::kStr: append_str_token(out, e.str_value); break;
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

void append_descriptor(std::string& out, std::string_view kind, std::string_view content_hash,
                       std::string_view framework, std::string_view version,
                       std::string_view io_schema, const std::string_view* preprocessing_ref) {
  // Descriptor fields go in unescaped: a "|" inside one makes the label ambiguous,
  // which is accepted, because labels are never parsed back for external nodes.
  out.append("ext|", 4);
  for (std::string_view s : {kind, content_hash, framework, version, io_schema}) {
    out.append(s.data(), s.size());
    out.push_back('|');
  }
  if (preprocessing_ref != nullptr) {
    out.append(preprocessing_ref->data(), preprocessing_ref->size());
  } else {
    out.push_back('-');
  }
}

// The label of one kind, given its parts; shared by Node and NodeView so the two
// cannot drift apart.
template <typename Params>
void append_label(std::string& out, NodeKind kind, std::string_view name, const Params& params,
                  std::size_t member_count, const auto& append_external) {
  switch (kind) {
    case NodeKind::kSource:
      out.append("src|", 4);
      append_escaped(out, name);
      break;
    case NodeKind::kOp:
      out.append("op|", 3);
      append_escaped(out, name);
      break;
    case NodeKind::kReduction:
      out.append("red|", 4);
      append_escaped(out, name);
      break;
    case NodeKind::kExternal: append_external(); break;
    case NodeKind::kStage:
      // A stage label never carries parameters.
      out.append("stage|", 6);
      append_decimal(out, member_count);
      return;
    case NodeKind::kExchange: out.append("exch", 4); break;
    case NodeKind::kJoin: out.append("join", 4); break;
  }
  if (params.size() != 0) {
    out.push_back('|');
    append_param_text(out, params);
  }
}

// Unsigned hex with an optional "+", at least one digit, no overflow.
std::optional<std::uint64_t> parse_hex_bits(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (v > (std::numeric_limits<std::uint64_t>::max() >> 4)) return std::nullopt;
    v = (v << 4) | digit;
  }
  return v;
}

// Signed decimal with an optional sign, at least one digit, within int64.
std::optional<std::int64_t> parse_decimal(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  // Accumulate the magnitude unsigned, so that the minimum (one beyond the
  // maximum's magnitude) is representable before negation.
  const std::uint64_t limit =
      negative ? std::uint64_t{1} << 63 : static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (v > (limit - digit) / 10) return std::nullopt;
    v = v * 10 + digit;
  }
  return negative ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
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
      const auto bits = parse_hex_bits(payload);
      if (!bits) return std::nullopt;
      return ParamValue(std::in_place_index<1>, FloatBits{*bits});
    }
    case 'i': {
      const auto v = parse_decimal(payload);
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
  append_label(out, node.kind, node.name, node.params, node.members.size(), [&] {
    const PayloadDescriptor& d = node.descriptor;
    const std::string_view ref = d.preprocessing_ref ? std::string_view(*d.preprocessing_ref) : "";
    append_descriptor(out, d.kind, d.content_hash, d.framework, d.version, d.io_schema,
                      d.preprocessing_ref ? &ref : nullptr);
  });
  return out;
}

void append_node_label(const NodeView& node, std::string& out) {
  append_label(out, node.kind(), node.name(), node.params(), node.members().size(), [&] {
    const DescriptorView& d = node.descriptor();
    append_descriptor(out, d.kind, d.content_hash, d.framework, d.version, d.io_schema,
                      d.has_preprocessing_ref ? &d.preprocessing_ref : nullptr);
  });
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
