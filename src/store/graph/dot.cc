#include "store/graph/dot.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <iterator>

#include "support/utf8.h"

namespace brantel::store {

namespace {

void append_hex(std::string& out, std::uint32_t v) {
  char buf[8];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, 16);
  out.append(buf, r.ptr);
}

struct CodeRange {
  char32_t first;
  char32_t last;
};

// Code points shown as \u{hex} besides the C0/C1 controls: characters that are
// invisible or reshape the surrounding text when printed, so a reader could not
// tell what the string holds. These are the space separators other than " "
// (Zs), the line and paragraph separators (Zl, Zp), the format characters (Cf:
// soft hyphen, zero-width and bidirectional controls, tags, ...) and the private
// use areas (Co). Sorted, for the binary search. Combining marks and unassigned
// code points are printed as they are: telling them apart needs the full
// Unicode database, and they do not hide the rest of the text.
constexpr CodeRange kInvisible[] = {
    {0x00A0, 0x00A0},   {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},
    {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},
    {0x1680, 0x1680},   {0x180E, 0x180E},   {0x2000, 0x200F},   {0x2028, 0x202F},
    {0x205F, 0x2064},   {0x2066, 0x206F},   {0x3000, 0x3000},   {0xE000, 0xF8FF},
    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F}, {0xF0000, 0x10FFFF},
};

bool is_printable(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
  if (c < 0xA0) return true;
  // Noncharacters (U+FDD0..U+FDEF and the last two code points of every plane).
  if ((c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE) return false;
  const auto* it = std::upper_bound(std::begin(kInvisible), std::end(kInvisible), c,
                                    [](char32_t v, const CodeRange& r) { return v < r.first; });
  if (it == std::begin(kInvisible)) return true;
  --it;
  return c > it->last;
}

void append_quoted(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t cp;
    const std::size_t len = support::decode_utf8(text, i, cp);
    if (len == 0) {
      // Store strings are valid UTF-8; a stray byte is still shown, not dropped.
      out.append("\\x", 2);
      if (static_cast<unsigned char>(text[i]) < 0x10) out.push_back('0');
      append_hex(out, static_cast<unsigned char>(text[i]));
      ++i;
      continue;
    }
    switch (cp) {
      case '\\': out.append("\\\\", 2); break;
      case '"': out.append("\\\"", 2); break;
      case '\t': out.append("\\t", 2); break;
      case '\r': out.append("\\r", 2); break;
      case '\n': out.append("\\n", 2); break;
      case '\0': out.append("\\0", 2); break;
      default:
        if (is_printable(cp)) {
          out.append(text.data() + i, len);
        } else {
          out.append("\\u{", 3);
          append_hex(out, static_cast<std::uint32_t>(cp));
          out.push_back('}');
        }
    }
    i += len;
  }
  out.push_back('"');
}

void append_display_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out.append("NaN", 3);
    return;
  }
  if (std::isinf(value)) {
    out.append(value < 0 ? "-inf" : "inf");
    return;
  }
  // The shortest round-trip digits come from to_chars in scientific form (the
  // general form would pick exponent notation for 1e21); the exponent is then
  // expanded into plain digits by hand.
  char buf[40];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  const std::size_t e_pos = sci.find('e');
  std::string_view mantissa = sci.substr(0, e_pos);
  const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
  if (!mantissa.empty() && mantissa[0] == '-') {
    out.push_back('-');
    mantissa.remove_prefix(1);
  }
  char digits[24];
  std::size_t n = 0;
  for (char c : mantissa) {
    if (c != '.') digits[n++] = c;
  }
  // value = 0.digits * 10^(exponent + 1): the point goes after `point` digits.
  const long point = static_cast<long>(exponent) + 1;
  if (point <= 0) {
    out.append("0.", 2);
    out.append(static_cast<std::size_t>(-point), '0');
    out.append(digits, n);
  } else if (static_cast<std::size_t>(point) >= n) {
    out.append(digits, n);
    out.append(static_cast<std::size_t>(point) - n, '0');
  } else {
    out.append(digits, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(digits + point, n - static_cast<std::size_t>(point));
  }
}

void append_params(std::string& out, const ParamsView& params) {
  out.push_back('{');
  bool first = true;
  for (const ParamEntryView& e : params) {
    if (!first) out.append(", ", 2);
    first = false;
    out.append(e.key.data(), e.key.size());
    out.push_back('=');
    switch (e.tag) {
      case ParamTag::kInt: {
        char buf[24];
        const auto r = std::to_chars(buf, buf + sizeof buf, e.int_value);
        out.append(buf, r.ptr);
        break;
      }
      case ParamTag::kFloat: append_display_float(out, std::bit_cast<double>(e.float_bits)); break;
      case ParamTag::kBool: out.append(e.bool_value ? "true" : "false"); break;
      case ParamTag::kStr: append_quoted(out, e.str_value); break;
    }
  }
  out.push_back('}');
}

// The human-readable label of a node (raw names, displayed values), before the
// DOT escaping.
void append_display_label(std::string& out, const NodeView& v) {
  switch (v.kind()) {
    case NodeKind::kSource: out.append("Source "); break;
    case NodeKind::kOp: out.append("Op "); break;
    case NodeKind::kReduction: out.append("Reduction "); break;
    case NodeKind::kExternal: {
      const DescriptorView& d = v.descriptor();
      out.append("External ");
      out.append(d.kind);
      out.push_back(':');
      out.append(d.content_hash);
      out.append(" [");
      out.append(d.framework);
      out.push_back(' ');
      out.append(d.version);
      out.push_back(']');
      break;
    }
    case NodeKind::kStage:
      out.append("Stage[");
      out.append(std::to_string(v.members().size()));
      out.append(" members]");
      return;
    case NodeKind::kExchange: out.append("Exchange"); break;
    case NodeKind::kJoin: out.append("Join"); break;
  }
  out.append(v.name());
  if (!v.params().empty()) {
    out.push_back(' ');
    append_params(out, v.params());
  }
}

// DOT string escaping: backslashes first, so the backslashes added before quotes
// are not doubled again. Newlines stay as they are.
void append_dot_escaped(std::string& out, std::string_view text) {
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
}

}  // namespace

std::string display_float(double value) {
  std::string out;
  append_display_float(out, value);
  return out;
}

std::string quote_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  append_quoted(out, text);
  return out;
}

std::string render_dot(const NodeList& nodes, const std::vector<NodeId>& output_marks) {
  const std::size_t n = nodes.size();
  std::vector<bool> is_output(n, false);
  for (NodeId id : output_marks) {
    BRANTEL_CHECK(id < n, "output mark names a stored node");
    is_output[id] = true;
  }
  std::string out = "digraph brantel {\n";
  std::string label;
  for (std::size_t i = 0; i < n; ++i) {
    label.clear();
    append_display_label(label, nodes.view(i));
    out.append("  n");
    out.append(std::to_string(i));
    out.append(" [label=\"");
    append_dot_escaped(out, label);
    out.push_back('"');
    if (is_output[i]) out.append(", shape=doublecircle");
    out.append("];\n");
  }
  for (std::size_t i = 0; i < n; ++i) {
    const IdsView inputs = nodes.view(i).inputs();
    for (std::uint32_t k = 0; k < inputs.size(); ++k) {
      out.append("  n");
      out.append(std::to_string(inputs[k]));
      out.append(" -> n");
      out.append(std::to_string(i));
      out.append(";\n");
    }
  }
  out.append("}\n");
  return out;
}

}  // namespace brantel::store
