#include "store/graph/dot.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>

namespace brantel::store {
namespace {

ParamValue I(std::int64_t v) { return ParamValue(std::in_place_index<0>, v); }
ParamValue F(double v) { return ParamValue(std::in_place_index<1>, float_bits_of(v)); }
ParamValue B(bool v) { return ParamValue(std::in_place_index<2>, v); }
ParamValue S(std::string v) { return ParamValue(std::in_place_index<3>, std::move(v)); }

NodeList list_of(const std::vector<Node>& nodes) {
  NodeList list;
  for (const Node& n : nodes) list.append(n);
  return list;
}

// The node line of a one-node graph: what a node's label renders as.
std::string label_line(const Node& n) {
  const std::string dot = render_dot(list_of({n}), {});
  const std::string head = "digraph brantel {\n  n0 [label=\"";
  EXPECT_EQ(dot.substr(0, head.size()), head);
  const std::size_t end = dot.rfind("\"];\n}\n");
  EXPECT_NE(end, std::string::npos) << dot;
  return dot.substr(head.size(), end - head.size());
}

TEST(RenderDot, EmptyStore) { EXPECT_EQ(render_dot(NodeList(), {}), "digraph brantel {\n}\n"); }

TEST(RenderDot, SourceAndMarkedOp) {
  const NodeList nodes = list_of({Node::source("a"), Node::op("f", {0}, {{"k", F(1.5)}, {"m", S("x")}})});
  EXPECT_EQ(render_dot(nodes, {1}),
            "digraph brantel {\n"
            "  n0 [label=\"Source a\"];\n"
            "  n1 [label=\"Op f {k=1.5, m=\\\"x\\\"}\", shape=doublecircle];\n"
            "  n0 -> n1;\n"
            "}\n");
}

TEST(RenderDot, EdgesInIdAndInputOrderWithRepeats) {
  const NodeList nodes = list_of({Node::source("a"), Node::source("b"), Node::join({1, 0}),
                                  Node::op("sq", {2, 2})});
  EXPECT_EQ(render_dot(nodes, {3, 0}),
            "digraph brantel {\n"
            "  n0 [label=\"Source a\", shape=doublecircle];\n"
            "  n1 [label=\"Source b\"];\n"
            "  n2 [label=\"Join\"];\n"
            "  n3 [label=\"Op sq\", shape=doublecircle];\n"
            "  n1 -> n2;\n"
            "  n0 -> n2;\n"
            "  n2 -> n3;\n"
            "  n2 -> n3;\n"
            "}\n");
}

TEST(RenderDot, LabelsByKind) {
  struct Row {
    Node node;
    const char* line;  // after DOT escaping
  };
  const Row rows[] = {
      {Node::join({}), "Join"},
      {Node::join({}, {{"how", S("inner")}}), "Join {how=\\\"inner\\\"}"},
      {Node::op("", {}), "Op "},
      {Node::source("a|b;c", {{"n", I(-3)}}), "Source a|b;c {n=-3}"},
      {Node::reduction("sum", {}, {{"axis", I(0)}, {"keep", B(true)}, {"z", B(false)}}),
       "Reduction sum {axis=0, keep=true, z=false}"},
      {Node::external(PayloadDescriptor{"onnx", "sha:1", "torch", "2.1", "io", "ref"}, {}),
       "External onnx:sha:1 [torch 2.1]"},
      {Node::external(PayloadDescriptor{"k", "h", "f", "v", "io", std::nullopt}, {}, {{"p", F(0.5)}}),
       "External k:h [f v] {p=0.5}"},
      {Node::stage({}, {{"op|a", {}}, {"op|b", {}}, {"op|c", {}}}), "Stage[3 members]"},
      {Node::exchange({}), "Exchange"},
      {Node::exchange({}, {{"n", I(4)}}), "Exchange {n=4}"},
      // Raw names and keys; only backslashes and quotes are escaped for DOT, and
      // a string value is quoted first, so its own escapes are escaped again.
      {Node::op("a\"b\\c\nd", {}), "Op a\\\"b\\\\c\nd"},
      {Node::op("f", {}, {{"k\"", S("t\tq\"")}}), "Op f {k\\\"=\\\"t\\\\tq\\\\\\\"\\\"}"},
      {Node::op("f", {}, {{"x", F(1e21)}, {"y", F(-0.0)}, {"z", F(NAN)}}),
       "Op f {x=1000000000000000000000, y=-0, z=NaN}"},
  };
  for (const Row& r : rows) EXPECT_EQ(label_line(r.node), r.line);
}

TEST(DisplayFloat, Table) {
  struct Row {
    double value;
    std::string text;
  };
  const Row rows[] = {
      {1.0, "1"},
      {0.5, "0.5"},
      {-0.0, "-0"},
      {0.0, "0"},
      {1e21, std::string("1") + std::string(21, '0')},
      {1e22, std::string("1") + std::string(22, '0')},
      {123.456, "123.456"},
      {-2.5e-3, "-0.0025"},
      {1e-7, "0.0000001"},
      {0.1 + 0.2, "0.30000000000000004"},
      {9007199254740992.0, "9007199254740992"},
      {1.5e300, std::string("15") + std::string(299, '0')},
      {5e-324, std::string("0.") + std::string(323, '0') + "5"},
      {std::numeric_limits<double>::max(), std::string("17976931348623157") + std::string(292, '0')},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::bit_cast<double>(std::uint64_t{0x7ff0000000000001}), "NaN"},
  };
  for (const Row& r : rows) EXPECT_EQ(display_float(r.value), r.text) << r.text;
}

// The display must read back to the same double and never use an exponent.
TEST(DisplayFloat, RoundTripsRandomBits) {
  std::mt19937_64 rng(11);
  for (int k = 0; k < 20000; ++k) {
    const double v = std::bit_cast<double>(rng());
    if (!std::isfinite(v)) continue;
    const std::string text = display_float(v);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)), std::bit_cast<std::uint64_t>(v))
        << text;
  }
}

TEST(QuoteEscaped, Table) {
  struct Row {
    std::string text;
    std::string quoted;
  };
  const Row rows[] = {
      {"", "\"\""},
      {"inner", "\"inner\""},
      {"a\"b\\", "\"a\\\"b\\\\\""},
      {std::string("\t\r\n\0", 4), "\"\\t\\r\\n\\0\""},
      {"'", "\"'\""},
      {"\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
      {"\xc2\x85", "\"\\u{85}\""},              // NEL, a C1 control
      {"\xc3\xa9\xe4\xb8\xad", "\"\xc3\xa9\xe4\xb8\xad\""},  // é and a CJK ideograph print
      {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},          // an emoji prints
      {"\xc2\xa0", "\"\\u{a0}\""},              // no-break space
      {"\xe2\x80\x8b", "\"\\u{200b}\""},        // zero-width space
      {"\xe2\x80\xa8", "\"\\u{2028}\""},        // line separator
      {"\xe2\x80\xae", "\"\\u{202e}\""},        // right-to-left override
      {"\xef\xbb\xbf", "\"\\u{feff}\""},        // byte-order mark
      {"\xee\x80\x80", "\"\\u{e000}\""},        // private use
      {"\xef\xbf\xbf", "\"\\u{ffff}\""},        // noncharacter
      {"\xf3\xa0\x80\x81", "\"\\u{e0001}\""},   // language tag
      {("a\xff" "b"), "\"a\\xffb\""},             // not UTF-8
  };
  for (const Row& r : rows) EXPECT_EQ(quote_escaped(r.text), r.quoted) << r.quoted;
}

}  // namespace
}  // namespace brantel::store
