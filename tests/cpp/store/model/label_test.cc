#include "store/model/label.h"

#include <gtest/gtest.h>

#include <random>

#include "store/model/record.h"
#include "test_nodes.h"

namespace brantel::store {
namespace {

using testing::B;
using testing::dump;
using testing::F;
using testing::FBits;
using testing::I;
using testing::S;

// The escaping as four ordered whole-text replacements, written the slow way, to
// check the one-pass versions against.
std::string replace_all(std::string s, std::string_view from, std::string_view to) {
  std::string out;
  std::size_t i = 0;
  while (true) {
    const std::size_t at = s.find(from, i);
    if (at == std::string::npos) break;
    out.append(s, i, at - i);
    out.append(to);
    i = at + from.size();
  }
  out.append(s, i);
  return out;
}
std::string naive_escape(std::string s) {
  s = replace_all(s, "%", "%25");
  s = replace_all(s, ";", "%3B");
  s = replace_all(s, "=", "%3D");
  return replace_all(s, "|", "%7C");
}
std::string naive_unescape(std::string s) {
  s = replace_all(s, "%7C", "|");
  s = replace_all(s, "%3D", "=");
  s = replace_all(s, "%3B", ";");
  return replace_all(s, "%25", "%");
}

TEST(Escape, Table) {
  struct Row {
    const char* raw;
    const char* escaped;
  };
  const Row rows[] = {
      {"", ""},
      {"plain", "plain"},
      {"%;=|", "%25%3B%3D%7C"},
      {"a|b", "a%7Cb"},
      {"100%", "100%25"},
      {"%3B", "%253B"},
      {"\xc3\xa9=\n", "\xc3\xa9%3D\n"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(escape_label_text(r.raw), r.escaped) << r.raw;
    EXPECT_EQ(unescape_label_text(r.escaped), r.raw) << r.escaped;
  }
}

TEST(Unescape, NeverEscapedText) {
  struct Row {
    const char* text;
    const char* unescaped;
  };
  const Row rows[] = {
      {"a%3Bb", "a;b"}, {"%7c", "%7c"}, {"%2", "%2"},   {"%", "%"},
      {"%%7C", "%|"},   {"%257C", "%7C"}, {"%3D%3D", "=="}, {"x%25", "x%"},
  };
  for (const Row& r : rows) EXPECT_EQ(unescape_label_text(r.text), r.unescaped) << r.text;
}

// Every string up to length 6 over the characters that matter to the escapes:
// the one-pass codecs must agree with the ordered replacements.
TEST(Escape, ExhaustiveAgainstOrderedReplacements) {
  const std::string alphabet = "%7C3DB25;=|x";
  std::string s;
  std::size_t checked = 0;
  const auto visit = [&](auto&& self, std::size_t depth) -> void {
    ASSERT_EQ(escape_label_text(s), naive_escape(s)) << s;
    ASSERT_EQ(unescape_label_text(s), naive_unescape(s)) << s;
    ASSERT_EQ(unescape_label_text(escape_label_text(s)), s) << s;
    ++checked;
    if (depth == 5) return;
    for (char c : alphabet) {
      s.push_back(c);
      self(self, depth + 1);
      s.pop_back();
    }
  };
  visit(visit, 0);
  EXPECT_GT(checked, 200000u);
}

TEST(ParamText, Tokens) {
  struct Row {
    ParamMap params;
    const char* text;
  };
  const Row rows[] = {
      {{}, ""},
      {{{"x", I(1)}}, "x=i1"},
      {{{"x", I(-5)}}, "x=i-5"},
      {{{"x", I(INT64_MIN)}}, "x=i-9223372036854775808"},
      {{{"x", F(1.0)}}, "x=f3ff0000000000000"},
      {{{"x", F(0.0)}}, "x=f0000000000000000"},
      {{{"x", F(-0.0)}}, "x=f8000000000000000"},
      {{{"x", FBits(1)}}, "x=f0000000000000001"},
      {{{"x", FBits(0x7ff0000000000001)}}, "x=f7ff8000000000000"},
      {{{"x", FBits(0xfff8000000000abc)}}, "x=f7ff8000000000000"},
      {{{"x", B(true)}}, "x=btrue"},
      {{{"x", B(false)}}, "x=bfalse"},
      {{{"x", S("a=b")}}, "x=sa%3Db"},
      {{{"x", S("")}}, "x=s"},
      {{{"k;=", S("%")}}, "k%3B%3D=s%25"},
      {{{"a", I(1)}, {"b", B(true)}}, "a=i1;b=btrue"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(param_text(r.params), r.text);
    const std::string record = encode_node(Node::source("s", r.params));
    EXPECT_EQ(param_text(NodeView::parse(record).params()), r.text);
  }
}

PayloadDescriptor descriptor(std::optional<std::string> ref) {
  return PayloadDescriptor{"onnx", "sha256:ab", "torch", "2.1", "f32[3]", std::move(ref)};
}

TEST(NodeLabel, EveryKind) {
  struct Row {
    Node node;
    const char* label;
  };
  const Row rows[] = {
      {Node::op("add", {0}, {{"scalar", F(0.0)}, {"side", S("r")}}), "op|add|scalar=f0000000000000000;side=sr"},
      {Node::op("mul", {0}, {{"scalar", F(1.0)}, {"side", S("l")}}), "op|mul|scalar=f3ff0000000000000;side=sl"},
      {Node::op("", {}), "op|"},
      {Node::source("a|b"), "src|a%7Cb"},
      {Node::source("t", {{"n", I(3)}}), "src|t|n=i3"},
      {Node::reduction("sum", {1}, {{"axis", I(0)}}), "red|sum|axis=i0"},
      {Node::external(descriptor(std::nullopt), {0}), "ext|onnx|sha256:ab|torch|2.1|f32[3]|-"},
      {Node::external(descriptor(""), {0}), "ext|onnx|sha256:ab|torch|2.1|f32[3]|"},
      {Node::external(descriptor("p;q"), {0}, {{"k", B(false)}}), "ext|onnx|sha256:ab|torch|2.1|f32[3]|p;q|k=bfalse"},
      {Node::external(PayloadDescriptor{"a|b", "", "", "", "", "="}, {}), "ext|a|b|||||="},
      {Node::stage({0, 1}, {{"op|a", {}}, {"op|b", {{RefKind::kMember, 0}}}, {"red|c", {}}}), "stage|3"},
      {Node::stage({}, {}), "stage|0"},
      {Node::exchange({0}, {{"n", I(4)}}), "exch|n=i4"},
      {Node::exchange({0, 1}), "exch"},
      {Node::join({0, 1}), "join"},
      {Node::join({0, 1}, {{"how", S("inner")}}), "join|how=sinner"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(node_label(r.node), r.label);
    const std::string record = encode_node(r.node);
    const NodeView view = NodeView::parse(record);
    EXPECT_EQ(node_label(view), r.label);
    std::string appended = "prefix:";
    append_node_label(view, appended);
    EXPECT_EQ(appended, std::string("prefix:") + r.label);
  }
}

TEST(NodeLabel, NansWithDifferentPayloadsShareALabelButSignedZerosDoNot) {
  const Node a = Node::op("f", {}, {{"x", FBits(0x7ff8000000000001)}});
  const Node b = Node::op("f", {}, {{"x", FBits(0xfff0000000000002)}});
  EXPECT_EQ(node_label(a), node_label(b));
  EXPECT_EQ(node_label(a), "op|f|x=f7ff8000000000000");
  EXPECT_NE(node_label(Node::op("f", {}, {{"x", F(0.0)}})), node_label(Node::op("f", {}, {{"x", F(-0.0)}})));
}

TEST(ParseParamText, Accepts) {
  struct Row {
    const char* text;
    const char* dump;
  };
  const Row rows[] = {
      {"", ""},
      {"x=i-9223372036854775808", "x=Int(-9223372036854775808)"},
      {"x=i9223372036854775807", "x=Int(9223372036854775807)"},
      {"x=i+5", "x=Int(5)"},
      {"x=i-0", "x=Int(0)"},
      {"x=i007", "x=Int(7)"},
      {"x=f+3ff0000000000000", "x=Float(0x3ff0000000000000)"},
      {"x=f1", "x=Float(0x0000000000000001)"},
      {"x=fFFFFFFFFFFFFFFFF", "x=Float(0xffffffffffffffff)"},
      {"x=f00000000000000000001", "x=Float(0x0000000000000001)"},
      {"x=fAbC", "x=Float(0x0000000000000abc)"},
      {"x=btrue;y=sab", "x=Bool(true), y=Str(ab)"},
      {"x=bfalse", "x=Bool(false)"},
      {"x=s", "x=Str()"},
      {"x=sa%3Db", "x=Str(a=b)"},
      {"x=sa=b", "x=Str(a=b)"},
      {"x=sa|b", "x=Str(a|b)"},
      {"k%3Dy=i1", "k=y=Int(1)"},
      {"=i1", "=Int(1)"},
      {"b=i1;a=i2", "a=Int(2), b=Int(1)"},
      {"a=i1;a=i2;a=i0", "a=Int(1), a=Int(2), a=Int(0)"},
      {"b=i1;ab=i2;a=i3;B=i4", "B=Int(4), a=Int(3), ab=Int(2), b=Int(1)"},
  };
  for (const Row& r : rows) {
    const auto parsed = parse_param_text(r.text);
    ASSERT_TRUE(parsed.has_value()) << r.text;
    EXPECT_EQ(dump(*parsed), r.dump) << r.text;
  }
}

TEST(ParseParamText, MustFail) {
  const char* const kMustFail[] = {
      "x",         "x=",         "x=i1;",        ";x=i1",       "x=i1;;y=i2",  ";",
      "x=i",       "x=i-",       "x=i+",         "x=i+-1",      "x=i1.0",      "x=i 1",
      "x=i1 ",     "x=i0x10",    "x=i9223372036854775808",    "x=i-9223372036854775809",
      "x=i99999999999999999999", "x=f",          "x=f+",        "x=f-1",       "x=f 1",
      "x=fg",      "x=f0x1",     "x=f10000000000000000",      "x=bTrue",     "x=btrue1",
      "x=b",       "x=b1",       "x=q1",         "x=I1",        ("x=\xc3\xa9" "1"), "x=i1;y",
  };
  for (const char* text : kMustFail) EXPECT_FALSE(parse_param_text(text).has_value()) << text;
}

TEST(ParseMemberLabel, Accepts) {
  struct Row {
    const char* label;
    const char* kind;
    const char* name;
    const char* params;
  };
  const Row rows[] = {
      {"op|scale", "op", "scale", ""},
      {"red|sum|axis=i0", "red", "sum", "axis=Int(0)"},
      {"op|", "op", "", ""},
      {"op||", "op", "", ""},
      {"op|f|", "op", "f", ""},
      {"op|a%7Cb|k=sx", "op", "a|b", "k=Str(x)"},
      {"op|f|k=sa|b", "op", "f", "k=Str(a|b)"},
      {"op|add|scalar=f0000000000000000;side=sr", "op", "add", "scalar=Float(0x0000000000000000), side=Str(r)"},
  };
  for (const Row& r : rows) {
    const auto parsed = parse_member_label(r.label);
    ASSERT_TRUE(parsed.has_value()) << r.label;
    EXPECT_EQ(parsed->kind_word, r.kind) << r.label;
    EXPECT_EQ(parsed->name, r.name) << r.label;
    EXPECT_EQ(dump(parsed->params), r.params) << r.label;
  }
}

TEST(ParseMemberLabel, MustFail) {
  const char* const kMustFail[] = {
      "src|a", "op", "red", "", "|op", "Op|x", "op |x", "ext|a|b", "op|f|k", "red|sum|axis=i0;", "op|f|x=z1",
  };
  for (const char* label : kMustFail) EXPECT_FALSE(parse_member_label(label).has_value()) << label;
}

// Random maps over awkward keys and values: the text must parse back to the map.
TEST(ParseParamText, InvertsParamText) {
  std::mt19937_64 rng(7);
  const std::string pieces[] = {"", "a", "ab", "B", "%", ";", "=", "|", "%3B", "\xc3\xa9", "s"};
  for (int round = 0; round < 2000; ++round) {
    ParamMap params;
    const int n = static_cast<int>(rng() % 5);
    for (int k = 0; k < n; ++k) {
      std::string key = pieces[rng() % std::size(pieces)] + pieces[rng() % std::size(pieces)];
      ParamValue value;
      switch (rng() % 4) {
        case 0: value = I(static_cast<std::int64_t>(rng())); break;
        case 1: value = FBits(canonical_float_bits(rng())); break;
        case 2: value = B(rng() % 2 == 0); break;
        default: value = S(pieces[rng() % std::size(pieces)] + pieces[rng() % std::size(pieces)]); break;
      }
      params.push_back(ParamEntry{std::move(key), std::move(value)});
    }
    sort_params(params);
    const std::string text = param_text(params);
    const auto parsed = parse_param_text(text);
    ASSERT_TRUE(parsed.has_value()) << text;
    EXPECT_EQ(*parsed, params) << text;
    const auto member = parse_member_label(node_label(Node::op("n|%", {}, params)));
    ASSERT_TRUE(member.has_value()) << text;
    EXPECT_EQ(member->name, "n|%");
    EXPECT_EQ(member->params, params) << text;
  }
}

}  // namespace
}  // namespace brantel::store
