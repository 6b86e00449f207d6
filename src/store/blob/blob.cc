#include "store/blob/blob.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <optional>
#include <vector>

#include "support/utf8.h"
#include "store/model/record.h"
#include "support/check.h"

namespace brantel::blob {

using store::kU32Max;
using store::NodeId;
using store::read_u32;
using store::read_u64;

namespace {

constexpr char kMagic[4] = {'B', 'I', 'R', '1'};
constexpr std::size_t kHeaderSize = 8;  // magic + node count
constexpr std::size_t kMinRecordSize = 9;

// Single forward pass over untrusted bytes. Every read checks the remaining
// length first; every check runs in field order, so the first failing check
// decides the error. Each record is validated in place; only a record that is
// not already canonical (params out of key order, a bool or presence byte other
// than 0/1) is rebuilt, into one reused scratch buffer.
//
// Until a record equals an earlier one, each gets the id of its position, which
// is every blob serialize writes, so its references are ids already and it is
// interned as it stands. From the first repeat on, every reference is rewritten
// from the position it names to the id that position's record got.
class Decoder {
 public:
  explicit Decoder(std::string_view data) : data_(data.data()), size_(data.size()) {}

  support::Result<std::unique_ptr<store::GraphStore>, BlobError> run() {
    if (size_ < 4) return fail_truncated();
    if (std::memcmp(data_, kMagic, 4) != 0) return support::Err{BlobError{BlobErrorKind::kBadMagic, {}, 0, {}}};
    if (size_ < kHeaderSize) return fail_truncated();
    const std::uint32_t count = read_u32(data_ + 4);
    pos_ = kHeaderSize;

    auto store = std::make_unique<store::GraphStore>();
    // Reserve only what the remaining bytes can hold, never what `count` claims:
    // the smallest record is 9 bytes (a Source with an empty name and no params:
    // tag 1 + name length 4 + param count 4; Exchange, Join and Stage are also
    // 1 + 4 + 4), so at most (size - 8) / 9 records fit, and their bytes are at
    // most size - 8. A count of 4,294,967,295 in a 20-byte blob reserves one
    // node and fails as truncated at its first record; a 100 MB blob reserves at
    // most 11.1 M nodes' offsets (89 MB).
    const std::size_t body = size_ - kHeaderSize;
    store->reserve(std::min<std::size_t>(count, body / kMinRecordSize), body);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::size_t begin = pos_;
      if (!read_record(i)) return support::Err{error_};
      intern(*store, i, std::string_view(data_ + begin, pos_ - begin));
    }

    std::uint32_t outputs = 0;
    if (!read_u32_field(outputs)) return support::Err{error_};
    for (std::uint32_t k = 0; k < outputs; ++k) {
      if (!need(8)) return support::Err{error_};
      NodeId id = read_u64(data_ + pos_);
      pos_ += 8;
      if (remap_) {
        if (id >= id_of_position_.size()) return fail_ref(id);
        id = id_of_position_[id];
      }
      auto marked = store->mark_output(id);
      if (const store::StoreError* e = marked.error()) return fail_ref(e->bad_node_id);
    }
    // Bytes after the output section are ignored.
    return store;
  }

 private:
  // Interns the validated record at `position`, canonical and with its
  // references rewritten once remap_ is on.
  void intern(store::GraphStore& store, std::uint32_t position, std::string_view record) {
    NodeId bound = input_bound_;
    const std::size_t validated_size = record.size();
    if (!canonical_) record = canonicalize(record);
    if (remap_ && ids_at_ != 0) {
      if (canonical_) scratch_.assign(record);
      // ids_at_ is where the ids start in the validated record.
      BRANTEL_CHECK(scratch_.size() == validated_size, "a canonical rebuild keeps every field's size");
      bound = 0;
      char* at = scratch_.data() + ids_at_;
      const std::uint32_t count = read_u32(at);
      for (std::uint32_t k = 0; k < count; ++k) {
        char* slot = at + 4 + 8 * static_cast<std::size_t>(k);
        const NodeId id = id_of_position_[read_u64(slot)];
        store::write_u64(slot, id);
        bound = store::PreparedRecord::bound_with(bound, id);
      }
      record = scratch_;
    }
    auto r = store.intern(store::PreparedRecord{record, store.hash(record, has_nan_), bound});
    BRANTEL_CHECK(r.ok(), "validated inputs name stored nodes");
    if (!remap_ && *r != position) {
      remap_ = true;
      id_of_position_.resize(position);
      std::iota(id_of_position_.begin(), id_of_position_.end(), NodeId{0});
    }
    if (remap_) id_of_position_.push_back(*r);
  }

  support::Err<BlobError> fail_truncated() { return support::Err{BlobError{BlobErrorKind::kTruncated, {}, 0, {}}}; }
  support::Err<BlobError> fail_ref(std::uint64_t id) {
    return support::Err{BlobError{BlobErrorKind::kNodeRefOutOfRange, {}, id, {}}};
  }

  bool set_error(BlobErrorKind kind, std::string_view context = {}, std::uint64_t value = 0) {
    error_ = BlobError{kind, context, value, {}};
    return false;
  }
  std::size_t remaining() const { return size_ - pos_; }
  bool need(std::size_t n) {
    if (remaining() < n) [[unlikely]] return set_error(BlobErrorKind::kTruncated);
    return true;
  }
  bool read_u8_field(std::uint8_t& v) {
    if (!need(1)) return false;
    v = static_cast<unsigned char>(data_[pos_++]);
    return true;
  }
  bool read_u32_field(std::uint32_t& v) {
    if (!need(4)) return false;
    v = read_u32(data_ + pos_);
    pos_ += 4;
    return true;
  }
  bool read_str() {
    std::uint32_t len = 0;
    if (!read_u32_field(len) || !need(len)) return false;
    const std::string_view s(data_ + pos_, len);
    if (!support::is_valid_utf8(s)) return set_error(BlobErrorKind::kInvalidUtf8);
    pos_ += len;
    return true;
  }

  // An id list whose ids must all be below `limit` (the record's position).
  bool read_ids(std::uint64_t limit) {
    ids_at_ = pos_ - record_begin_;
    std::uint32_t count = 0;
    if (!read_u32_field(count)) return false;
    // Ids are checked one by one in order, so an out-of-range id before the end
    // of the data wins over the truncation after it.
    const std::size_t present = std::min<std::size_t>(count, remaining() / 8);
    for (std::size_t k = 0; k < present; ++k) {
      const NodeId id = read_u64(data_ + pos_ + 8 * k);
      if (id >= limit) return set_error(BlobErrorKind::kNodeRefOutOfRange, {}, id);
      input_bound_ = store::PreparedRecord::bound_with(input_bound_, id);
    }
    if (present < count) return set_error(BlobErrorKind::kTruncated);
    pos_ += 8 * static_cast<std::size_t>(count);
    return true;
  }

  bool read_params() {
    std::uint32_t count = 0;
    if (!read_u32_field(count)) return false;
    const std::size_t entries_begin = pos_;
    std::string_view previous_key;
    bool sorted = true;
    std::optional<std::string_view> repeated;
    for (std::uint32_t k = 0; k < count; ++k) {
      const std::size_t key_begin = pos_;
      if (!read_str()) return false;
      const std::string_view key(data_ + key_begin + 4, pos_ - key_begin - 4);
      if (k > 0 && key <= previous_key) {
        if (key < previous_key) sorted = false;
        if (key == previous_key && !repeated) repeated = key;
      }
      previous_key = key;
      std::uint8_t tag = 0;
      if (!read_u8_field(tag)) return false;
      switch (tag) {
        case static_cast<std::uint8_t>(store::ParamTag::kInt):
          if (!need(8)) return false;
          pos_ += 8;
          break;
        case static_cast<std::uint8_t>(store::ParamTag::kFloat): {
          if (!need(8)) return false;
          // A NaN with another payload hashes as the canonical NaN, which the
          // store does only when told.
          const std::uint64_t bits = read_u64(data_ + pos_);
          if (store::is_noncanonical_nan(bits)) has_nan_ = true;
          pos_ += 8;
          break;
        }
        case static_cast<std::uint8_t>(store::ParamTag::kBool):
          if (!need(1)) return false;
          if (static_cast<unsigned char>(data_[pos_]) > 1) canonical_ = false;
          pos_ += 1;
          break;
        case static_cast<std::uint8_t>(store::ParamTag::kStr):
          if (!read_str()) return false;
          break;
        default: return set_error(BlobErrorKind::kInvalidTag, "param", tag);
      }
    }
    if (!sorted) {
      canonical_ = false;
      repeated = repeated_key(entries_begin, count);
    }
    // A node with two equal keys could not be shown or added; checked once the
    // section is read, so an error inside it comes first.
    if (repeated) {
      error_ = BlobError{BlobErrorKind::kDuplicateParamKey, {}, 0, std::string(*repeated)};
      return false;
    }
    return true;
  }

  // The smallest key that `count` validated entries from `at` on hold twice; for
  // the rare params out of order, where equal keys need not be neighbours.
  std::optional<std::string_view> repeated_key(std::size_t at, std::uint32_t count) {
    keys_.clear();
    for (std::uint32_t k = 0; k < count; ++k) {
      const std::size_t key_size = read_u32(data_ + at);
      keys_.emplace_back(data_ + at + 4, key_size);
      at += 4 + key_size;
      const auto tag = static_cast<store::ParamTag>(data_[at]);
      at += 1;
      if (tag == store::ParamTag::kBool) at += 1;
      else if (tag == store::ParamTag::kStr) at += 4 + read_u32(data_ + at);
      else at += 8;
    }
    std::sort(keys_.begin(), keys_.end());
    const auto same = std::adjacent_find(keys_.begin(), keys_.end());
    if (same == keys_.end()) return std::nullopt;
    return *same;
  }

  bool read_members() {
    std::uint32_t count = 0;
    if (!read_u32_field(count)) return false;
    for (std::uint32_t j = 0; j < count; ++j) {
      std::uint32_t argc = 0;
      if (!read_str() || !read_u32_field(argc)) return false;
      for (std::uint32_t a = 0; a < argc; ++a) {
        if (!need(5)) return false;
        const auto tag = static_cast<unsigned char>(data_[pos_]);
        const std::uint32_t index = read_u32(data_ + pos_ + 1);
        if (tag == static_cast<std::uint8_t>(store::RefKind::kMember)) {
          // A member may use only members before it; input indices are not
          // range-checked, the stage's semantics give them meaning.
          if (index >= j) return set_error(BlobErrorKind::kNodeRefOutOfRange, {}, index);
        } else if (tag != static_cast<std::uint8_t>(store::RefKind::kInput)) {
          return set_error(BlobErrorKind::kInvalidTag, "stage-ref", tag);
        }
        pos_ += 5;
      }
    }
    return true;
  }

  bool read_record(std::uint64_t position) {
    canonical_ = true;
    has_nan_ = false;
    input_bound_ = 0;
    record_begin_ = pos_;
    ids_at_ = 0;
    std::uint8_t tag = 0;
    if (!read_u8_field(tag)) return false;
    switch (tag) {
      case static_cast<std::uint8_t>(store::NodeKind::kSource): return read_str() && read_params();
      case static_cast<std::uint8_t>(store::NodeKind::kOp):
      case static_cast<std::uint8_t>(store::NodeKind::kReduction):
        return read_str() && read_params() && read_ids(position);
      case static_cast<std::uint8_t>(store::NodeKind::kExternal): {
        for (int f = 0; f < 5; ++f) {
          if (!read_str()) return false;
        }
        std::uint8_t present = 0;
        if (!read_u8_field(present)) return false;
        if (present > 1) canonical_ = false;
        if (present != 0 && !read_str()) return false;
        return read_params() && read_ids(position);
      }
      case static_cast<std::uint8_t>(store::NodeKind::kStage): return read_ids(position) && read_members();
      case static_cast<std::uint8_t>(store::NodeKind::kExchange):
      case static_cast<std::uint8_t>(store::NodeKind::kJoin): return read_params() && read_ids(position);
      default: return set_error(BlobErrorKind::kInvalidTag, "node", tag);
    }
  }

  // Rebuilds a validated record in canonical form: params sorted by key bytes
  // (the keys are distinct, or validation failed), bool and presence bytes as
  // 1/0. Only records a foreign writer produced take this path.
  std::string_view canonicalize(std::string_view record) {
    store::Node node = store::NodeView::parse(record).to_node();
    store::sort_params(node.params);
    scratch_.clear();
    store::encode_node(node, scratch_);
    return scratch_;
  }

  const char* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  BlobError error_;
  // What read_record learned of the record it read last.
  bool canonical_ = true;
  bool has_nan_ = false;
  NodeId input_bound_ = 0;
  std::size_t record_begin_ = 0;
  std::size_t ids_at_ = 0;  // where the record's id list starts in it; 0 for none
  std::vector<std::string_view> keys_;  // repeated_key's scratch
  std::string scratch_;
  // Set at the first record equal to an earlier one; id_of_position_ then
  // holds the id each record got.
  bool remap_ = false;
  std::vector<NodeId> id_of_position_;
};

}  // namespace

std::string describe(const BlobError& e) {
  switch (e.kind) {
    case BlobErrorKind::kBadMagic: return "not a brantel IR blob (bad magic/version)";
    case BlobErrorKind::kTruncated: return "truncated brantel IR blob";
    case BlobErrorKind::kInvalidTag:
      return "invalid " + std::string(e.context) + " tag " + std::to_string(e.value);
    case BlobErrorKind::kInvalidUtf8: return "invalid utf-8 in brantel IR blob";
    case BlobErrorKind::kNodeRefOutOfRange: return "node reference " + std::to_string(e.value) + " out of range";
    case BlobErrorKind::kDuplicateParamKey: return "duplicate param key '" + e.key + "' in brantel IR blob";
  }
  support::panic("unknown blob error kind");
}

support::Result<std::size_t, EncodeError> blob_size(std::size_t node_count, std::size_t record_bytes,
                                                    std::size_t output_count) {
  // Counts are u32 on the wire; a larger count must not be written wrapped.
  if (node_count > kU32Max) {
    return support::Err{EncodeError{"store has " + std::to_string(node_count) +
                                    " nodes, more than the IR blob format can hold"}};
  }
  if (output_count > kU32Max) {
    return support::Err{EncodeError{std::to_string(output_count) +
                                    " outputs are more than the IR blob format can hold"}};
  }
  return kHeaderSize + record_bytes + 4 + 8 * output_count;
}

std::span<char> write_blob_frame(std::span<char> out, std::size_t node_count, std::span<const NodeId> outputs) {
  const std::size_t trailer = 4 + 8 * outputs.size();
  BRANTEL_CHECK(node_count <= kU32Max && outputs.size() <= kU32Max && out.size() >= kHeaderSize + trailer,
                "a blob frame is written into a buffer sized by blob_size");
  char* p = out.data();
  std::memcpy(p, kMagic, 4);
  store::write_u32(p + 4, static_cast<std::uint32_t>(node_count));
  p = out.data() + out.size() - trailer;
  store::write_u32(p, static_cast<std::uint32_t>(outputs.size()));
  p += 4;
  for (NodeId id : outputs) {
    store::write_u64(p, id);
    p += 8;
  }
  return out.subspan(kHeaderSize, out.size() - kHeaderSize - trailer);
}

support::Result<std::string, EncodeError> encode_blob(const store::NodeList& nodes,
                                                      std::span<const NodeId> outputs) {
  auto size = blob_size(nodes.size(), nodes.bytes().size(), outputs.size());
  if (const EncodeError* e = size.error()) return support::Err{*e};
  // The arena already holds canonical records in id order, which is exactly the
  // node section: copy it as is into the frame.
  std::string out(*size, '\0');
  const std::span<char> records = write_blob_frame(out, nodes.size(), outputs);
  std::memcpy(records.data(), nodes.bytes().data(), records.size());
  return out;
}

support::Result<std::unique_ptr<store::GraphStore>, BlobError> decode_blob(std::string_view data) {
  return Decoder(data).run();
}

}  // namespace brantel::blob
