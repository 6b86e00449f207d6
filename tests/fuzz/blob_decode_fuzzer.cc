// Decodes arbitrary bytes. Every input must end in a BlobError or a store; for a
// store, encode -> decode -> encode must reproduce the same bytes (the store is
// canonical, so its blob is a fixed point). Run under -rss_limit_mb, so that a
// declared count that allocates instead of failing as truncated shows up.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "store/blob/blob.h"

namespace {

[[noreturn]] void finding(const char* what) {
  __builtin_fprintf(stderr, "blob_decode_fuzzer: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // 64 KiB holds hundreds of records of every kind; larger inputs only repeat
  // the same record shapes and slow each execution down.
  if (size > (64u << 10)) return 0;
  using brantel::blob::decode_blob;
  using brantel::blob::encode_blob;
  auto decoded = decode_blob(std::string_view(reinterpret_cast<const char*>(data), size));
  if (const brantel::blob::BlobError* e = decoded.error()) {
    if (brantel::blob::describe(*e).empty()) finding("empty error message");
    return 0;
  }
  const brantel::store::Snapshot first = (*decoded)->snapshot();
  auto blob = encode_blob(first.nodes, first.outputs);
  if (!blob.ok()) finding("a decoded store does not encode");
  auto again = decode_blob(*blob);
  if (!again.ok()) finding("an encoded store does not decode");
  const brantel::store::Snapshot second = (*again)->snapshot();
  if (!(second.nodes == first.nodes) || second.outputs != first.outputs) finding("round trip changed the store");
  auto blob_again = encode_blob(second.nodes, second.outputs);
  if (!blob_again.ok() || *blob_again != *blob) finding("re-encoding changed the bytes");
  return 0;
}
