#include "store/blob/blob.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <chrono>
#include <random>

#include "store/model/record.h"

namespace brantel::blob {
namespace {

using store::GraphStore;
using store::Node;
using store::NodeId;
using store::ParamValue;
using store::PayloadDescriptor;
using store::RefKind;

ParamValue I(std::int64_t v) { return ParamValue(std::in_place_index<0>, v); }
ParamValue FBits(std::uint64_t bits) { return ParamValue(std::in_place_index<1>, store::FloatBits{bits}); }
ParamValue B(bool v) { return ParamValue(std::in_place_index<2>, v); }
ParamValue S(std::string v) { return ParamValue(std::in_place_index<3>, std::move(v)); }

// Builds blob bytes field by field, including ones no encoder would write.
class Bytes {
 public:
  Bytes& raw(std::string_view s) {
    b_.append(s);
    return *this;
  }
  Bytes& u8(std::uint8_t v) {
    b_.push_back(static_cast<char>(v));
    return *this;
  }
  Bytes& u32(std::uint32_t v) {
    store::RecordWriter(b_).u32(v);
    return *this;
  }
  Bytes& u64(std::uint64_t v) {
    store::RecordWriter(b_).u64(v);
    return *this;
  }
  Bytes& str(std::string_view s) { return u32(static_cast<std::uint32_t>(s.size())).raw(s); }
  Bytes& header(std::uint32_t nodes) { return raw("BIR1").u32(nodes); }
  Bytes& node(const Node& n) {
    store::encode_node(n, b_);
    return *this;
  }
  Bytes& outputs(std::initializer_list<NodeId> ids) {
    u32(static_cast<std::uint32_t>(ids.size()));
    for (NodeId id : ids) u64(id);
    return *this;
  }
  const std::string& str() const { return b_; }

 private:
  std::string b_;
};

std::string hex(std::string_view s) {
  std::string out;
  char buf[4];
  for (unsigned char c : s) {
    std::snprintf(buf, sizeof buf, "%02x ", c);
    out += buf;
  }
  return out;
}

std::string encode_store(const GraphStore& s, std::span<const NodeId> outputs) {
  auto blob = encode_blob(s.nodes(), outputs);
  EXPECT_TRUE(blob.ok());
  return blob.ok() ? *blob : std::string();
}

std::string reencode(const std::string& blob) {
  auto store = decode_blob(blob);
  EXPECT_TRUE(store.ok()) << hex(blob);
  if (!store.ok()) return {};
  const auto marks = (*store)->output_marks();
  return encode_store(**store, marks);
}

std::optional<BlobError> error_of(std::string_view data) {
  auto r = decode_blob(data);
  if (const BlobError* e = r.error()) return *e;
  return std::nullopt;
}

BlobError truncated() { return BlobError{BlobErrorKind::kTruncated, {}, 0, {}}; }
BlobError bad_magic() { return BlobError{BlobErrorKind::kBadMagic, {}, 0, {}}; }
BlobError bad_utf8() { return BlobError{BlobErrorKind::kInvalidUtf8, {}, 0, {}}; }
BlobError bad_tag(std::string_view context, std::uint64_t tag) {
  return BlobError{BlobErrorKind::kInvalidTag, context, tag, {}};
}
BlobError bad_ref(std::uint64_t id) { return BlobError{BlobErrorKind::kNodeRefOutOfRange, {}, id, {}}; }

const unsigned char k70ByteExample[] = {
    0x42, 0x49, 0x52, 0x31, 0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x73, 0x72, 0x63, 0x01, 0x00,
    0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x6e, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x03,
    0x00, 0x00, 0x00, 0x6e, 0x65, 0x67, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};
const std::string k70(reinterpret_cast<const char*>(k70ByteExample), sizeof k70ByteExample);
const std::string kEmpty("BIR1\0\0\0\0\0\0\0\0", 12);

TEST(BlobWriter, TwoNodeExampleByteForByte) {
  ASSERT_EQ(k70.size(), 70u);
  GraphStore s;
  ASSERT_TRUE(s.intern(Node::source("src", {{"n", I(1)}})).ok());
  ASSERT_TRUE(s.intern(Node::op("neg", {0})).ok());
  const NodeId outputs[] = {1};
  EXPECT_EQ(hex(encode_store(s, outputs)), hex(k70));
}

TEST(BlobWriter, EmptyStore) {
  GraphStore s;
  EXPECT_EQ(encode_store(s, {}), kEmpty);
}

TEST(BlobWriter, ExplicitOutputsAreWrittenAsGiven) {
  GraphStore s;
  ASSERT_TRUE(s.intern(Node::source("a")).ok());
  ASSERT_TRUE(s.intern(Node::source("b")).ok());
  const NodeId twice[] = {1, 1};
  EXPECT_EQ(encode_store(s, twice).substr(encode_store(s, {}).size() - 4),
            Bytes().outputs({1, 1}).str());
}

// A span of 2^32 ids over reserved, never-touched pages: the writer must refuse
// the count before it reads a single id.
TEST(BlobWriter, RefusesMoreOutputsThanTheFormatHolds) {
  const std::size_t count = std::size_t{1} << 32;
  void* pages = mmap(nullptr, count * sizeof(NodeId), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (pages == MAP_FAILED) GTEST_SKIP() << "cannot reserve 32 GiB of address space";
  const std::span<const NodeId> outputs(static_cast<const NodeId*>(pages), count);
  const auto blob = encode_blob(store::NodeList(), outputs);
  munmap(pages, count * sizeof(NodeId));
  ASSERT_FALSE(blob.ok());
  EXPECT_NE(blob.error()->message.find("4294967296"), std::string::npos) << blob.error()->message;
}

TEST(BlobReader, ExamplesDecode) {
  auto empty = decode_blob(kEmpty);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ((*empty)->node_count(), 0u);
  EXPECT_TRUE((*empty)->output_marks().empty());

  auto two = decode_blob(k70);
  ASSERT_TRUE(two.ok());
  const store::NodeList nodes = (*two)->nodes();
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes.node(0), Node::source("src", {{"n", I(1)}}));
  EXPECT_EQ(nodes.node(1), Node::op("neg", {0}));
  EXPECT_EQ((*two)->output_marks(), std::vector<NodeId>{1});
  EXPECT_TRUE((*two)->node_map().empty());
  EXPECT_EQ(reencode(k70), k70);
}

TEST(BlobError, Messages) {
  struct Row {
    BlobError error;
    const char* message;
  };
  const Row rows[] = {
      {bad_magic(), "not a brantel IR blob (bad magic/version)"},
      {truncated(), "truncated brantel IR blob"},
      {bad_tag("node", 7), "invalid node tag 7"},
      {bad_tag("param", 4), "invalid param tag 4"},
      {bad_tag("stage-ref", 255), "invalid stage-ref tag 255"},
      {bad_utf8(), "invalid utf-8 in brantel IR blob"},
      {bad_ref(18446744073709551615u), "node reference 18446744073709551615 out of range"},
      {BlobError{BlobErrorKind::kDuplicateParamKey, {}, 0, "k"}, "duplicate param key 'k' in brantel IR blob"},
  };
  for (const Row& r : rows) EXPECT_EQ(describe(r.error), r.message);
}

std::string op_with_name(std::string_view name_bytes) {
  return Bytes().header(1).u8(1).str(name_bytes).u32(0).u32(0).outputs({}).str();
}

// 100 distinct sources, a twin of source 0 at position 100 (it collapses, so the
// store stays at 100 nodes), then an op naming position 100: past the first
// interning batch, so the reader finds the twin only after interning it.
std::string many_sources_then_twin_ref() {
  Bytes b;
  b.header(102);
  for (int k = 0; k < 100; ++k) b.node(Node::source(std::to_string(k)));
  b.node(Node::source("0")).node(Node::op("g", {100}));
  return b.outputs({}).str();
}

TEST(BlobReader, Failures) {
  const Node src = Node::source("a");
  const std::string bad = "\xff\xfe";
  struct Row {
    const char* what;
    std::string data;
    BlobError error;
  };
  const Row rows[] = {
      {"empty", "", truncated()},
      {"two bytes", "BI", truncated()},
      {"three bytes of magic", "BIR", truncated()},
      {"magic alone", "BIR1", truncated()},
      {"magic and half a count", "BIR1\x01\x00", truncated()},
      {"four X", "XXXX", bad_magic()},
      {"version 2", "BIR2", bad_magic()},
      {"version 2 with a body", std::string("BIR2\0\0\0\0\0\0\0\0", 12), bad_magic()},
      {"no output count", std::string("BIR1\0\0\0\0", 8), truncated()},
      {"output count cut", std::string("BIR1\0\0\0\0\0\0", 10), truncated()},
      {"output id cut", Bytes().header(0).u32(1).u32(0).str(), truncated()},
      {"huge node count", Bytes().header(0xffffffffu).u64(0).u32(0).str(), truncated()},
      {"node tag 7", Bytes().header(1).u8(7).str(), bad_tag("node", 7)},
      {"node tag 255", Bytes().header(1).u8(255).str(), bad_tag("node", 255)},
      {"param tag 4", Bytes().header(1).u8(0).str("s").u32(1).str("k").u8(4).str(), bad_tag("param", 4)},
      // The value tag is checked before the payload it announces.
      {"param tag 4 then nothing", Bytes().header(1).u8(0).str("s").u32(1).str("k").u8(4).str(),
       bad_tag("param", 4)},
      {"param payload cut", Bytes().header(1).u8(0).str("s").u32(1).str("k").u8(0).u32(0).str(), truncated()},
      {"stage-ref tag 2",
       Bytes().header(1).u8(4).u32(0).u32(1).str("op|f").u32(1).u8(2).u32(0).str(), bad_tag("stage-ref", 2)},
      // A reference needs its 5 bytes before its tag is looked at.
      {"stage-ref cut", Bytes().header(1).u8(4).u32(0).u32(1).str("op|f").u32(1).u8(2).u8(0).str(), truncated()},
      {"member ref to itself",
       Bytes().header(1).u8(4).u32(0).u32(2).str("op|f").u32(0).str("op|g").u32(1).u8(1).u32(1).str(), bad_ref(1)},
      {"member ref in member 0", Bytes().header(1).u8(4).u32(0).u32(1).str("op|f").u32(1).u8(1).u32(0).str(),
       bad_ref(0)},
      {"utf-8 in a name", op_with_name(bad), bad_utf8()},
      {"utf-8 surrogate", op_with_name("\xed\xa0\x80"), bad_utf8()},
      {"utf-8 in a key", Bytes().header(1).u8(0).str("s").u32(1).str(bad).u8(0).u64(1).str(), bad_utf8()},
      {"utf-8 in a value", Bytes().header(1).u8(0).str("s").u32(1).str("k").u8(3).str(bad).str(), bad_utf8()},
      {"utf-8 in a descriptor", Bytes().header(1).u8(3).str("k").str("h").str(bad).str(), bad_utf8()},
      {"utf-8 in a reference",
       Bytes().header(1).u8(3).str("k").str("h").str("f").str("v").str("io").u8(1).str(bad).str(), bad_utf8()},
      {"utf-8 in a member label", Bytes().header(1).u8(4).u32(0).u32(1).str(bad).str(), bad_utf8()},
      {"string longer than the data", Bytes().header(1).u8(0).u32(100).raw("abc").str(), truncated()},
      {"op naming itself", Bytes().header(2).node(src).node(Node::op("f", {1})).outputs({}).str(), bad_ref(1)},
      {"op naming a later node", Bytes().header(2).node(src).node(Node::op("f", {0, 7})).outputs({}).str(),
       bad_ref(7)},
      {"stage input naming itself", Bytes().header(2).node(src).node(Node::stage({1}, {})).outputs({}).str(),
       bad_ref(1)},
      {"output id equal to N", Bytes().header(1).node(src).outputs({0, 1}).str(), bad_ref(1)},
      // A twin is read again with its references remapped; the later fault still decides.
      {"collapsed twin, then a bad tag",
       Bytes().header(4).node(src).node(src).node(Node::op("f", {1})).u8(9).str(), bad_tag("node", 9)},
      {"repeated key, out of order",
       Bytes().header(1).u8(6).u32(3).str("b").u8(2).u8(9).str("a").u8(0).u64(2).str("a").u8(0).u64(1).u32(0)
           .outputs({}).str(),
       BlobError{BlobErrorKind::kDuplicateParamKey, {}, 0, "a"}},
      {"output beyond the records of a collapsed blob", Bytes().header(2).node(src).node(src).outputs({2}).str(),
       bad_ref(2)},
      // Ids are checked as they are read: a bad id before the cut wins.
      {"bad id before a cut", Bytes().header(2).node(src).u8(1).str("f").u32(0).u32(3).u64(0).u64(9).str(),
       bad_ref(9)},
      {"good ids before a cut", Bytes().header(2).node(src).u8(1).str("f").u32(0).u32(3).u64(0).u64(0).str(),
       truncated()},
      // An earlier field's fault decides, even when a later one is also bad.
      {"utf-8 before a bad input", Bytes().header(1).u8(1).str(bad).u32(0).u32(1).u64(5).str(), bad_utf8()},
      {"bad stage input before a bad label", Bytes().header(1).u8(4).u32(1).u64(0).u32(1).str(bad).str(),
       bad_ref(0)},
  };
  for (const Row& r : rows) {
    const auto e = error_of(r.data);
    ASSERT_TRUE(e.has_value()) << r.what;
    EXPECT_EQ(*e, r.error) << r.what << ": " << describe(*e);
  }
}

TEST(BlobReader, HugeDeclaredCountFailsAtOnce) {
  const std::string data = Bytes().header(0xffffffffu).u64(0).u32(0).str();
  ASSERT_EQ(data.size(), 20u);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(error_of(data), truncated());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST(BlobReader, InputReferenceIndexIsNotRangeChecked) {
  const std::string data =
      Bytes().header(2).node(Node::source("a")).node(Node::stage({0}, {{"op|f", {{RefKind::kInput, 99}}}})).outputs({1}).str();
  auto s = decode_blob(data);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ((*s)->nodes().node(1).members[0].args[0].index, 99u);
  EXPECT_EQ(reencode(data), data);
}

TEST(BlobReader, RepeatedOutputsCollapseInFirstOccurrenceOrder) {
  const std::string data = Bytes().header(2).node(Node::source("a")).node(Node::source("b")).outputs({1, 1, 0}).str();
  auto s = decode_blob(data);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ((*s)->output_marks(), (std::vector<NodeId>{1, 0}));
  EXPECT_EQ(reencode(data),
            Bytes().header(2).node(Node::source("a")).node(Node::source("b")).outputs({1, 0}).str());
}

// Blobs that decode but are not canonical: the store is canonical, so writing it
// back gives the canonical bytes.
TEST(BlobReader, NonCanonicalInputIsCanonicalised) {
  struct Row {
    const char* what;
    std::string data;
    Node expected;
  };
  const Row rows[] = {
      {"bool byte 2", Bytes().header(1).u8(0).str("s").u32(1).str("k").u8(2).u8(2).outputs({}).str(),
       Node::source("s", {{"k", B(true)}})},
      {"params out of order",
       Bytes().header(1).u8(5).u32(2).str("b").u8(0).u64(1).str("a").u8(3).str("x").u32(0).outputs({}).str(),
       Node::exchange({}, {{"a", S("x")}, {"b", I(1)}})},
      {"presence byte 7",
       Bytes().header(1).u8(3).str("k").str("h").str("f").str("v").str("io").u8(7).str("r").u32(1).str("z")
           .u8(2).u8(0).u32(0).outputs({}).str(),
       Node::external(PayloadDescriptor{"k", "h", "f", "v", "io", "r"}, {}, {{"z", B(false)}})},
  };
  for (const Row& r : rows) {
    auto s = decode_blob(r.data);
    ASSERT_TRUE(s.ok()) << r.what;
    ASSERT_EQ((*s)->node_count(), 1u) << r.what;
    EXPECT_EQ((*s)->nodes().node(0), r.expected) << r.what;
    const std::string canonical = Bytes().header(1).node(r.expected).outputs({}).str();
    EXPECT_NE(canonical, r.data) << r.what;
    EXPECT_EQ(reencode(r.data), canonical) << r.what;
  }
}

TEST(BlobReader, ATwinsPositionNamesTheEarlierRecord) {
  auto s = decode_blob(many_sources_then_twin_ref());
  ASSERT_TRUE(s.ok());
  EXPECT_EQ((*s)->node_count(), 101u);
  EXPECT_EQ((*s)->nodes().node(100), Node::op("g", {0}));
}

TEST(BlobReader, NonCanonicalTwinsCollapse) {
  // A bool written as 5 equals the canonical record with 1.
  const std::string data = Bytes()
                               .header(2)
                               .node(Node::source("s", {{"k", B(true)}}))
                               .u8(0).str("s").u32(1).str("k").u8(2).u8(5)
                               .outputs({0})
                               .str();
  auto s = decode_blob(data);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ((*s)->node_count(), 1u);
}

// NaN payloads are one value to the store, so records that differ only in them
// are one node, whether the record arrives canonical or with its params unsorted.
TEST(BlobReader, NanPayloadTwinsCollapse) {
  const std::string data = Bytes()
                               .header(4)
                               .node(Node::source("s", {{"x", FBits(store::kCanonicalNan)}}))
                               .node(Node::source("s", {{"x", FBits(0x7ff8000000000001)}}))
                               .node(Node::source("s", {{"x", FBits(0xfff0000000000002)}}))
                               // params x, a: out of key order, so rebuilt before interning
                               .u8(0).str("s").u32(2).str("x").u8(1).u64(0x7ff00000000000ffu).str("a").u8(0).u64(5)
                               .outputs({1})
                               .str();
  auto s = decode_blob(data);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ((*s)->node_count(), 2u);
  EXPECT_EQ((*s)->output_marks(), std::vector<NodeId>{0});
  EXPECT_EQ((*s)->nodes().node(1), Node::source("s", {{"a", I(5)}, {"x", FBits(store::kCanonicalNan)}}));
}

TEST(BlobReader, TrailingBytesAreIgnored) {
  const std::string data = k70 + "trailing";
  auto s = decode_blob(data);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ((*s)->node_count(), 2u);
  EXPECT_EQ(reencode(data), k70);
}

// A random store holding every kind, with awkward values: NaN payloads, -0.0,
// empty strings, separators, multi-byte UTF-8, repeated inputs.
GraphStore& random_store(GraphStore& s, std::mt19937_64& rng, int nodes) {
  const std::string names[] = {"", "a", "add", "x|y", "%3B", "\xc3\xa9t\xc3\xa9", "k=v", "\n\t"};
  const auto pick = [&](auto& arr) -> const auto& { return arr[rng() % std::size(arr)]; };
  const auto params = [&] {
    store::ParamMap m;
    const int n = static_cast<int>(rng() % 4);
    for (int k = 0; k < n; ++k) {
      ParamValue v;
      switch (rng() % 5) {
        case 0: v = I(static_cast<std::int64_t>(rng())); break;
        case 1: v = FBits(rng()); break;
        case 2: v = FBits(rng() % 2 ? 0x8000000000000000u : 0x7ff0000000000001u); break;
        case 3: v = B(rng() % 2 == 0); break;
        default: v = S(pick(names)); break;
      }
      m.push_back(store::ParamEntry{pick(names), std::move(v)});
    }
    store::sort_params(m);
    // One value per key: the reader refuses a record with a repeated key.
    m.erase(std::unique(m.begin(), m.end(), [](const auto& a, const auto& b) { return a.key == b.key; }), m.end());
    return m;
  };
  const auto inputs = [&] {
    std::vector<NodeId> ids;
    const std::uint64_t n = s.node_count();
    if (n == 0) return ids;
    const int count = static_cast<int>(rng() % 4);
    for (int k = 0; k < count; ++k) ids.push_back(rng() % n);
    return ids;
  };
  for (int k = 0; k < nodes; ++k) {
    Node node;
    switch (s.node_count() == 0 ? 0 : rng() % 7) {
      case 0: node = Node::source(pick(names), params()); break;
      case 1: node = Node::op(pick(names), inputs(), params()); break;
      case 2: node = Node::reduction(pick(names), inputs(), params()); break;
      case 3: {
        std::optional<std::string> ref;
        if (rng() % 2) ref = pick(names);
        node = Node::external(PayloadDescriptor{pick(names), pick(names), pick(names), pick(names), pick(names), ref},
                              inputs(), params());
        break;
      }
      case 4: {
        std::vector<store::StageMember> members;
        const int m = static_cast<int>(rng() % 4);
        for (int j = 0; j < m; ++j) {
          store::StageMember member{std::string("op|") + pick(names), {}};
          const int argc = static_cast<int>(rng() % 3);
          for (int a = 0; a < argc; ++a) {
            if (j > 0 && rng() % 2) {
              member.args.push_back({RefKind::kMember, rng() % static_cast<std::uint64_t>(j)});
            } else {
              member.args.push_back({RefKind::kInput, rng() % 5});
            }
          }
          members.push_back(std::move(member));
        }
        node = Node::stage(inputs(), std::move(members));
        break;
      }
      case 5: node = Node::exchange(inputs(), params()); break;
      default: node = Node::join(inputs(), params()); break;
    }
    EXPECT_TRUE(s.intern(node).ok());
  }
  const int marks = static_cast<int>(rng() % 5);
  for (int k = 0; k < marks; ++k) EXPECT_TRUE(s.mark_output(rng() % s.node_count()).ok());
  return s;
}

TEST(BlobRoundTrip, RandomStoresKeepIdsAndBytes) {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 200; ++round) {
    GraphStore s;
    random_store(s, rng, 1 + static_cast<int>(rng() % 300));
    const std::vector<NodeId> marks = s.output_marks();
    const std::string blob = encode_store(s, marks);
    auto back = decode_blob(blob);
    ASSERT_TRUE(back.ok()) << describe(*back.error());
    EXPECT_EQ((*back)->nodes(), s.nodes());
    EXPECT_EQ((*back)->output_marks(), marks);
    EXPECT_EQ(encode_store(**back, marks), blob);
  }
}

// Every proper prefix of a blob that holds every kind must fail as truncated,
// never crash or succeed.
TEST(BlobReader, EveryProperPrefixIsTruncated) {
  GraphStore s;
  ASSERT_TRUE(s.intern(Node::source("src", {{"n", I(1)}, {"s", S("\xc3\xa9")}})).ok());
  ASSERT_TRUE(s.intern(Node::op("f", {0}, {{"b", B(true)}, {"x", FBits(0x7ff8000000000001)}})).ok());
  ASSERT_TRUE(s.intern(Node::reduction("sum", {1}, {{"axis", I(0)}})).ok());
  ASSERT_TRUE(s.intern(Node::external(PayloadDescriptor{"k", "h", "f", "v", "io", "r"}, {2}, {{"q", I(3)}})).ok());
  ASSERT_TRUE(s.intern(Node::external(PayloadDescriptor{"k", "h", "f", "v", "io", std::nullopt}, {2})).ok());
  ASSERT_TRUE(s.intern(Node::stage({3, 4}, {{"op|a", {{RefKind::kInput, 0}}}, {"op|b", {{RefKind::kMember, 0}}}})).ok());
  ASSERT_TRUE(s.intern(Node::exchange({5}, {{"n", I(4)}})).ok());
  ASSERT_TRUE(s.intern(Node::join({6, 0}, {{"how", S("inner")}})).ok());
  const NodeId outputs[] = {7, 2};
  const std::string blob = encode_store(s, outputs);
  ASSERT_TRUE(decode_blob(blob).ok());
  for (std::size_t len = 0; len < blob.size(); ++len) {
    EXPECT_EQ(error_of(std::string_view(blob).substr(0, len)), truncated()) << "prefix of " << len << " bytes";
  }
}

}  // namespace
}  // namespace brantel::blob
