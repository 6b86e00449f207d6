#include "store/model/record.h"

namespace brantel::store {

void RecordWriter::value(const ParamValue& v) {
  u8(static_cast<std::uint8_t>(v.index()));
  switch (tag_of(v)) {
    case ParamTag::kInt: u64(static_cast<std::uint64_t>(std::get<std::int64_t>(v))); break;
    case ParamTag::kFloat: u64(std::get<FloatBits>(v).bits); break;
    case ParamTag::kBool: u8(std::get<bool>(v) ? 1 : 0); break;
    case ParamTag::kStr: str(std::get<std::string>(v)); break;
  }
}

void RecordWriter::descriptor(const PayloadDescriptor& d) {
  for (const std::string* s : SizedRecordWriter::descriptor_strs(d)) {
    BRANTEL_CHECK(s->size() <= kU32Max, "string fits the record's u32 length");
  }
  BRANTEL_CHECK(!d.preprocessing_ref || d.preprocessing_ref->size() <= kU32Max, "string fits the record's u32 length");
  room(SizedRecordWriter::descriptor_size(d)).descriptor(d);
}

void RecordWriter::params(const ParamMap& params) {
  BRANTEL_CHECK(params.size() <= kU32Max, "param map fits the record's u32 count");
  u32(static_cast<std::uint32_t>(params.size()));
  for (const ParamEntry& e : params) {
    str(e.key);
    value(e.value);
  }
}

ParamValue ParamEntryView::to_value() const {
  switch (tag) {
    case ParamTag::kInt: return ParamValue(std::in_place_index<0>, int_value);
    case ParamTag::kFloat: return ParamValue(std::in_place_index<1>, FloatBits{float_bits});
    case ParamTag::kBool: return ParamValue(std::in_place_index<2>, bool_value);
    case ParamTag::kStr: return ParamValue(std::in_place_index<3>, std::string(str_value));
  }
  support::panic("invalid param tag in a trusted record");
}

void ParamsView::Iterator::load() {
  if (left_ == 0) return;
  const char* p = p_;
  const std::uint32_t key_len = read_u32(p);
  entry_.key = std::string_view(p + 4, key_len);
  p += 4 + key_len;
  entry_.tag = static_cast<ParamTag>(static_cast<unsigned char>(*p++));
  switch (entry_.tag) {
    case ParamTag::kInt:
      entry_.int_value = static_cast<std::int64_t>(read_u64(p));
      p += 8;
      break;
    case ParamTag::kFloat:
      entry_.float_bits = read_u64(p);
      p += 8;
      break;
    case ParamTag::kBool: entry_.bool_value = *p++ != 0; break;
    case ParamTag::kStr: {
      const std::uint32_t len = read_u32(p);
      entry_.str_value = std::string_view(p + 4, len);
      p += 4 + len;
      break;
    }
  }
  next_ = p;
}

ParamMap ParamsView::to_map() const {
  ParamMap out;
  out.reserve(count_);
  for (const ParamEntryView& e : *this) out.push_back(ParamEntry{std::string(e.key), e.to_value()});
  return out;
}

std::vector<NodeId> IdsView::to_vector() const {
  std::vector<NodeId> out(count_);
  for (std::uint32_t i = 0; i < count_; ++i) out[i] = (*this)[i];
  return out;
}

PayloadDescriptor DescriptorView::to_descriptor() const {
  PayloadDescriptor d{std::string(kind), std::string(content_hash), std::string(framework),
                      std::string(version), std::string(io_schema), std::nullopt};
  if (has_preprocessing_ref) d.preprocessing_ref = std::string(preprocessing_ref);
  return d;
}

namespace {

// Sequential reader over a trusted record; an overrun means a record was
// corrupted inside the library.
class Cursor {
 public:
  explicit Cursor(std::string_view r) : r_(r) {}
  const char* here() const { return r_.data() + pos_; }
  std::size_t pos() const { return pos_; }
  void need(std::size_t n) const { BRANTEL_CHECK(r_.size() - pos_ >= n, "node record is well formed"); }
  std::uint8_t u8() {
    need(1);
    return static_cast<unsigned char>(r_[pos_++]);
  }
  std::uint32_t u32() {
    need(4);
    const std::uint32_t v = read_u32(here());
    pos_ += 4;
    return v;
  }
  std::string_view str() {
    const std::uint32_t len = u32();
    need(len);
    std::string_view s = r_.substr(pos_, len);
    pos_ += len;
    return s;
  }
  // `has_nan` is set when a Float holds a NaN other than the canonical one.
  ParamsView params(bool& has_nan) {
    const std::uint32_t count = u32();
    const char* begin = here();
    for (std::uint32_t i = 0; i < count; ++i) {
      str();
      switch (static_cast<ParamTag>(u8())) {
        case ParamTag::kInt: skip(8); break;
        case ParamTag::kFloat:
          need(8);
          has_nan |= is_noncanonical_nan(read_u64(here()));
          skip(8);
          break;
        case ParamTag::kBool: skip(1); break;
        case ParamTag::kStr: str(); break;
        default: support::panic("node record is well formed");
      }
    }
    return ParamsView(begin, count);
  }
  IdsView ids() {
    const std::uint32_t count = u32();
    const char* begin = here();
    skip(8 * static_cast<std::size_t>(count));
    return IdsView(begin, count);
  }
  void skip(std::size_t n) {
    need(n);
    pos_ += n;
  }

 private:
  std::string_view r_;
  std::size_t pos_ = 0;
};

}  // namespace

NodeView NodeView::parse(std::string_view record) {
  NodeView v;
  v.record_ = record;
  Cursor c(record);
  const std::uint8_t tag = c.u8();
  BRANTEL_CHECK(tag < kNodeKindCount, "node record is well formed");
  v.kind_ = static_cast<NodeKind>(tag);
  // A kind's own head, then params (all but Stage), inputs (all but Source) and,
  // for a Stage, its members.
  switch (v.kind_) {
    case NodeKind::kSource:
    case NodeKind::kOp:
    case NodeKind::kReduction: v.name_ = c.str(); break;
    case NodeKind::kExternal: {
      DescriptorView& d = v.descriptor_;
      d.kind = c.str();
      d.content_hash = c.str();
      d.framework = c.str();
      d.version = c.str();
      d.io_schema = c.str();
      d.has_preprocessing_ref = c.u8() != 0;
      if (d.has_preprocessing_ref) d.preprocessing_ref = c.str();
      break;
    }
    default: break;
  }
  if (v.kind_ != NodeKind::kStage) v.params_ = c.params(v.has_nan_);
  v.inputs_begin_ = c.pos();
  if (v.kind_ != NodeKind::kSource) v.inputs_ = c.ids();
  v.inputs_end_ = c.pos();
  if (v.kind_ == NodeKind::kStage) {
    const std::uint32_t count = c.u32();
    const char* begin = c.here();
    for (std::uint32_t j = 0; j < count; ++j) {
      c.str();
      c.skip(5 * static_cast<std::size_t>(c.u32()));
    }
    v.members_ = MembersView(begin, count);
  }
  BRANTEL_CHECK(c.pos() == record.size(), "node record is well formed");
  return v;
}

Node NodeView::to_node() const {
  Node n;
  n.kind = kind_;
  n.name = std::string(name_);
  n.params = params_.to_map();
  n.inputs = inputs_.to_vector();
  if (kind_ == NodeKind::kExternal) n.descriptor = descriptor_.to_descriptor();
  members_.for_each([&](const MemberView& m) {
    StageMember sm{std::string(m.label), {}};
    sm.args.reserve(m.arg_count);
    for (std::uint32_t i = 0; i < m.arg_count; ++i) sm.args.push_back(m.arg(i));
    n.members.push_back(std::move(sm));
  });
  return n;
}

void encode_node(const Node& node, std::string& out) {
  RecordWriter w(out);
  w.u8(static_cast<std::uint8_t>(node.kind));
  // The same order NodeView::parse reads.
  switch (node.kind) {
    case NodeKind::kSource:
    case NodeKind::kOp:
    case NodeKind::kReduction: w.str(node.name); break;
    case NodeKind::kExternal: w.descriptor(node.descriptor); break;
    default: break;
  }
  if (node.kind != NodeKind::kStage) w.params(node.params);
  if (node.kind != NodeKind::kSource) w.ids(node.inputs);
  if (node.kind != NodeKind::kStage) return;
  BRANTEL_CHECK(node.members.size() <= kU32Max, "member list fits the record's u32 count");
  w.u32(static_cast<std::uint32_t>(node.members.size()));
  for (const StageMember& m : node.members) {
    w.str(m.label);
    BRANTEL_CHECK(m.args.size() <= kU32Max, "argument list fits the record's u32 count");
    w.u32(static_cast<std::uint32_t>(m.args.size()));
    for (const StageRef& r : m.args) {
      BRANTEL_CHECK(r.index <= kU32Max, "stage reference index fits u32");
      w.u8(static_cast<std::uint8_t>(r.kind));
      w.u32(static_cast<std::uint32_t>(r.index));
    }
  }
}

std::string encode_node(const Node& node) {
  std::string out;
  encode_node(node, out);
  return out;
}

void encode_with_inputs(const NodeView& view, std::span<const NodeId> inputs, std::string& out) {
  // Three copies into room sized once: this runs for nearly every node the
  // incremental reducer folds, where appending piece by piece was a tenth of it.
  const std::string_view r = view.record();
  BRANTEL_CHECK(inputs.size() <= kU32Max, "id list fits the record's u32 count");
  const std::size_t list = view.kind() != NodeKind::kSource ? SizedRecordWriter::ids_size(inputs) : 0;
  const std::size_t start = out.size();
  out.resize(start + view.inputs_begin() + list + (r.size() - view.inputs_end()));
  SizedRecordWriter w(out.data() + start);
  w.bytes(r.substr(0, view.inputs_begin()));
  if (view.kind() != NodeKind::kSource) w.ids(inputs);
  w.bytes(r.substr(view.inputs_end()));
}

bool records_equal(std::string_view a, std::string_view b) {
  if (a == b) return true;
  const NodeView va = NodeView::parse(a);
  const NodeView vb = NodeView::parse(b);
  // Records that differ in bytes can still be one node only through NaN payloads.
  if (!va.has_nan() && !vb.has_nan()) return false;
  return va.to_node() == vb.to_node();
}

std::uint64_t hash_record(const NodeView& v, std::uint64_t seed) { return hash_record(v.record(), v.has_nan(), seed); }

std::uint64_t hash_record_with_nan(std::string_view record, std::uint64_t seed) {
  // Rewrite NaN payloads to the canonical NaN so that equal nodes hash equally.
  Node n = NodeView::parse(record).to_node();
  for (ParamEntry& e : n.params) {
    if (auto* f = std::get_if<FloatBits>(&e.value)) f->bits = canonical_float_bits(f->bits);
  }
  const std::string canonical = encode_node(n);
  return support::hash_bytes(canonical.data(), canonical.size(), seed);
}

}  // namespace brantel::store
