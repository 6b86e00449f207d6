// The IR blob: the canonical, versioned byte form of a store.
//
//   "BIR1" | u32 node count | node records (record.h) in id order | u32 output count | u64 ids
//
// Encoding is a copy of the arena's records behind a header, because the arena
// already holds canonical records. Decoding validates every field of untrusted
// bytes, rebuilds canonical records and interns them into a fresh store. A
// reference names a record by its position; when a record equals an earlier one
// it is interned as that one, and every reference to its position then means
// the id the earlier one got.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "store/graph/graph_store.h"
#include "store/graph/node_list.h"
#include "support/result.h"

namespace brantel::blob {

enum class BlobErrorKind : std::uint8_t {
  kBadMagic,
  kTruncated,
  kInvalidTag,
  kInvalidUtf8,
  kNodeRefOutOfRange,
  kDuplicateParamKey,
};

struct BlobError {
  BlobErrorKind kind = BlobErrorKind::kTruncated;
  std::string_view context;  // "node", "param" or "stage-ref" for kInvalidTag
  std::uint64_t value = 0;   // the tag byte or the offending id
  std::string key;           // the repeated key for kDuplicateParamKey
  friend bool operator==(const BlobError&, const BlobError&) = default;
};

// The exact message raised to Python.
std::string describe(const BlobError& e);

// A store the format cannot express (a count or length beyond u32).
struct EncodeError {
  std::string message;
};

// The size of the blob of `node_count` records totalling `record_bytes`, with
// `output_count` outputs, or why the format cannot hold it.
support::Result<std::size_t, EncodeError> blob_size(std::size_t node_count, std::size_t record_bytes,
                                                    std::size_t output_count);

// Writes everything but the node records into `out`, which holds the blob_size()
// bytes of these counts, and returns the span the records go to. Lets a caller copy
// a store's records straight into the final buffer instead of through a string.
std::span<char> write_blob_frame(std::span<char> out, std::size_t node_count,
                                 std::span<const store::NodeId> outputs);

support::Result<std::string, EncodeError> encode_blob(const store::NodeList& nodes,
                                                      std::span<const store::NodeId> outputs);

support::Result<std::unique_ptr<store::GraphStore>, BlobError> decode_blob(std::string_view data);

}  // namespace brantel::blob
