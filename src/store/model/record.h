// The encoded node record: the blob's node layout, also the in-memory form in
// which stores keep their nodes.
//
//   tag u8, then by kind
//   Source    name, params
//   Op/Red    name, params, inputs
//   External  kind, content_hash, framework, version, io_schema, u8 has_ref [ref],
//             params, inputs
//   Stage     inputs, u32 member count, members (label, u32 argc, argc x (u8 tag, u32 index))
//   Exchange/Join  params, inputs
// str = u32 length + bytes; params = u32 count + (key str, u8 tag, payload);
// inputs = u32 count + count x u64. All integers little-endian, no padding.
//
// A canonical record (params sorted by key, bools written as 1/0) is what every
// producer interns, so two equal nodes have byte-equal records unless they hold
// NaNs with different payloads; NodeView::has_nan tells when the slow structural
// comparison is needed.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "store/model/node.h"
#include "support/check.h"
#include "support/hash.h"
#include "support/little_endian.h"

namespace brantel::store {

inline constexpr std::uint64_t kU32Max = 0xffffffffULL;

// Record fields are little-endian.
inline std::uint32_t read_u32(const char* p) noexcept { return support::read_le<std::uint32_t>(p); }
inline std::uint64_t read_u64(const char* p) noexcept { return support::read_le<std::uint64_t>(p); }
inline void write_u32(char* p, std::uint32_t v) noexcept { support::write_le(p, v); }
inline void write_u64(char* p, std::uint64_t v) noexcept { support::write_le(p, v); }

// Writes little-endian fields into room its caller made beforehand, with no
// capacity check per field: a caller that knows a field's or a record's size
// makes room once. Lengths and counts must already be known to fit u32.
class SizedRecordWriter {
 public:
  explicit SizedRecordWriter(char* at) noexcept : p_(at) {}
  void u8(std::uint8_t v) noexcept { *p_++ = static_cast<char>(v); }
  void u32(std::uint32_t v) noexcept {
    write_u32(p_, v);
    p_ += 4;
  }
  void u64(std::uint64_t v) noexcept {
    write_u64(p_, v);
    p_ += 8;
  }
  void bytes(std::string_view b) noexcept {
    if (!b.empty()) std::memcpy(p_, b.data(), b.size());
    p_ += b.size();
  }
  void str(std::string_view s) noexcept {
    u32(static_cast<std::uint32_t>(s.size()));
    bytes(s);
  }
  void ids(std::span<const NodeId> ids) noexcept {
    u32(static_cast<std::uint32_t>(ids.size()));
    if constexpr (std::endian::native == std::endian::little) {
      // The ids' own bytes are the little-endian layout: one copy for the list.
      bytes(std::string_view(reinterpret_cast<const char*>(ids.data()), ids.size() * sizeof(NodeId)));
    } else {
      for (const NodeId id : ids) u64(id);
    }
  }

  // An External's descriptor: its five strs, u8 has_ref, then the ref if present.
  void descriptor(const PayloadDescriptor& d) noexcept {
    for (const std::string* s : descriptor_strs(d)) str(*s);
    u8(d.preprocessing_ref ? 1 : 0);
    if (d.preprocessing_ref) str(*d.preprocessing_ref);
  }

  // Encoded sizes of the variable fields.
  static std::size_t str_size(std::string_view s) noexcept { return 4 + s.size(); }
  static std::size_t ids_size(std::span<const NodeId> ids) noexcept { return 4 + 8 * ids.size(); }
  static std::size_t descriptor_size(const PayloadDescriptor& d) noexcept {
    std::size_t size = 1 + (d.preprocessing_ref ? str_size(*d.preprocessing_ref) : 0);
    for (const std::string* s : descriptor_strs(d)) size += str_size(*s);
    return size;
  }
  // A descriptor's five strs, in record order.
  static std::array<const std::string*, 5> descriptor_strs(const PayloadDescriptor& d) noexcept {
    return {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema};
  }

 private:
  char* p_;
};

// Appends little-endian fields to a string. Each field is written by a
// SizedRecordWriter over room made for it, so the two writers share one encoding.
class RecordWriter {
 public:
  explicit RecordWriter(std::string& out) : out_(out) {}
  void u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void u32(std::uint32_t v) { room(4).u32(v); }
  void u64(std::uint64_t v) { room(8).u64(v); }
  // Lengths beyond u32 cannot be written; callers check limits before encoding.
  void str(std::string_view s) {
    BRANTEL_CHECK(s.size() <= kU32Max, "string fits the record's u32 length");
    room(SizedRecordWriter::str_size(s)).str(s);
  }
  void ids(std::span<const NodeId> ids) {
    BRANTEL_CHECK(ids.size() <= kU32Max, "id list fits the record's u32 count");
    room(SizedRecordWriter::ids_size(ids)).ids(ids);
  }
  void descriptor(const PayloadDescriptor& d);
  void value(const ParamValue& v);
  void params(const ParamMap& params);

 private:
  SizedRecordWriter room(std::size_t bytes) {
    const std::size_t at = out_.size();
    out_.resize(at + bytes);
    return SizedRecordWriter(out_.data() + at);
  }

  std::string& out_;
};

// One parameter entry read from a record; strings point into the record.
struct ParamEntryView {
  std::string_view key;
  ParamTag tag = ParamTag::kInt;
  std::int64_t int_value = 0;
  std::uint64_t float_bits = 0;
  bool bool_value = false;
  std::string_view str_value;

  ParamValue to_value() const;
};

// Forward-iterable params of a record.
class ParamsView {
 public:
  class Iterator {
   public:
    Iterator(const char* p, std::uint32_t left) : p_(p), left_(left) { load(); }
    const ParamEntryView& operator*() const { return entry_; }
    const ParamEntryView* operator->() const { return &entry_; }
    Iterator& operator++() {
      p_ = next_;
      --left_;
      load();
      return *this;
    }
    bool operator==(const Iterator& o) const { return left_ == o.left_; }

   private:
    void load();
    const char* p_;
    const char* next_ = nullptr;
    std::uint32_t left_;
    ParamEntryView entry_;
  };

  ParamsView() = default;
  ParamsView(const char* begin, std::uint32_t count) : begin_(begin), count_(count) {}
  std::uint32_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  Iterator begin() const { return Iterator(begin_, count_); }
  Iterator end() const { return Iterator(nullptr, 0); }
  ParamMap to_map() const;

 private:
  const char* begin_ = nullptr;
  std::uint32_t count_ = 0;
};

// A record's id list, read in place.
class IdsView {
 public:
  IdsView() = default;
  IdsView(const char* begin, std::uint32_t count) : begin_(begin), count_(count) {}
  std::uint32_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  NodeId operator[](std::size_t i) const { return read_u64(begin_ + 8 * i); }
  std::vector<NodeId> to_vector() const;

 private:
  const char* begin_ = nullptr;
  std::uint32_t count_ = 0;
};

struct DescriptorView {
  std::string_view kind, content_hash, framework, version, io_schema;
  bool has_preprocessing_ref = false;
  std::string_view preprocessing_ref;
  PayloadDescriptor to_descriptor() const;
};

struct MemberView {
  std::string_view label;
  const char* args = nullptr;  // arg_count x 5 bytes
  std::uint32_t arg_count = 0;
  StageRef arg(std::size_t i) const {
    const char* p = args + 5 * i;
    return StageRef{static_cast<RefKind>(static_cast<unsigned char>(p[0])), read_u32(p + 1)};
  }
};

class MembersView {
 public:
  MembersView() = default;
  MembersView(const char* begin, std::uint32_t count) : begin_(begin), count_(count) {}
  std::uint32_t size() const { return count_; }
  // Calls f(const MemberView&) for each member in order.
  template <typename F>
  void for_each(F&& f) const {
    const char* p = begin_;
    for (std::uint32_t j = 0; j < count_; ++j) {
      MemberView m;
      const std::uint32_t len = read_u32(p);
      m.label = std::string_view(p + 4, len);
      p += 4 + len;
      m.arg_count = read_u32(p);
      m.args = p + 4;
      p += 4 + 5 * static_cast<std::size_t>(m.arg_count);
      f(static_cast<const MemberView&>(m));
    }
  }

 private:
  const char* begin_ = nullptr;
  std::uint32_t count_ = 0;
};

// A parsed view over a well-formed record (one this library encoded or
// validated). It does not own the bytes.
class NodeView {
 public:
  static NodeView parse(std::string_view record);

  NodeKind kind() const { return kind_; }
  std::string_view name() const { return name_; }
  ParamsView params() const { return params_; }
  IdsView inputs() const { return inputs_; }
  const DescriptorView& descriptor() const { return descriptor_; }
  MembersView members() const { return members_; }
  std::string_view record() const { return record_; }
  // Byte offsets of the input id list (its u32 count included) inside the record.
  std::size_t inputs_begin() const { return inputs_begin_; }
  std::size_t inputs_end() const { return inputs_end_; }
  // A Float param holds a NaN other than the canonical one.
  bool has_nan() const { return has_nan_; }

  Node to_node() const;

 private:
  std::string_view record_;
  NodeKind kind_ = NodeKind::kSource;
  std::string_view name_;
  ParamsView params_;
  IdsView inputs_;
  DescriptorView descriptor_;
  MembersView members_;
  std::size_t inputs_begin_ = 0;
  std::size_t inputs_end_ = 0;
  bool has_nan_ = false;
};

// Appends the canonical record of a node (its params must already be sorted).
void encode_node(const Node& node, std::string& out);
std::string encode_node(const Node& node);

// Appends `view`'s record with its input list replaced by `inputs` (a Source
// keeps none).
void encode_with_inputs(const NodeView& view, std::span<const NodeId> inputs, std::string& out);

// Node equality on records: byte equality, except that NaN payloads compare equal.
bool records_equal(std::string_view a, std::string_view b);

// Hash agreeing with records_equal (and hence with Node equality).
std::uint64_t hash_record(const NodeView& record, std::uint64_t seed);
// The hash of a record holding a NaN, whose payload must not reach the hash.
std::uint64_t hash_record_with_nan(std::string_view record, std::uint64_t seed);
// The same from the bytes alone, for a writer that knows whether its record holds
// a NaN (NodeView::has_nan), so the record need not be parsed or scanned.
inline std::uint64_t hash_record(std::string_view record, bool has_nan, std::uint64_t seed) {
  if (!has_nan) return support::hash_bytes(record.data(), record.size(), seed);
  return hash_record_with_nan(record, seed);
}

}  // namespace brantel::store
