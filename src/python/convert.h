// Conversion of Python arguments into the node model's wire form.
//
// Conversions run before any core lock is taken: a value's __index__ or
// __float__ may run arbitrary code. Every function returns false with a Python
// error set when conversion fails.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/graph/graph_store.h"
#include "store/model/node.h"
#include "store/model/record.h"

namespace brantel::py {

// Room for `bytes` more at the end of `out`, for a SizedRecordWriter to fill.
// The add path sizes each field once this way: RecordWriter, which grows the
// string field by field, made 100,000 adds 6-9 % slower (medians of 16 A/B runs).
inline store::SizedRecordWriter extend(std::string& out, std::size_t bytes) {
  const std::size_t at = out.size();
  out.resize(at + bytes);
  return store::SizedRecordWriter(out.data() + at);
}

// A record's params section, encoded as the dict is read: u32 count, then
// entries (key str, u8 tag, payload) in key order.
struct EncodedParams {
  std::string bytes;
  bool has_nan = false;  // a Float holds a NaN other than the canonical one
};

// A str argument (str or subclass) as UTF-8, viewing the str's own buffer;
// TypeErrors are prefixed with `parameter`.
[[nodiscard]] bool convert_str_argument(PyObject* value, const char* parameter, std::string_view& out);

// Any sequence but str, of ints that fit u64; errors prefixed with `parameter`.
[[nodiscard]] bool convert_ids(PyObject* value, const char* parameter, std::vector<store::NodeId>& out);

// nullptr or None: the stored output marks (nullopt); otherwise as convert_ids.
[[nodiscard]] bool convert_outputs(PyObject* value, std::optional<std::vector<store::NodeId>>& out);

// Checks explicit output ids, in list order, against `node_count`; raises the
// ValueError of the first one that names no node.
[[nodiscard]] bool check_outputs(const std::vector<store::NodeId>& outputs, std::uint64_t node_count);

// None, nullptr or a dict.
[[nodiscard]] bool convert_params(PyObject* value, EncodedParams& out);

// A PayloadDescriptor or a dict read by key.
[[nodiscard]] bool convert_descriptor(PyObject* value, store::PayloadDescriptor& out);

// True or False (or a NumPy bool scalar); nullptr keeps `out`.
[[nodiscard]] bool convert_bool(PyObject* value, const char* parameter, bool& out);

// A GraphStore instance.
[[nodiscard]] store::GraphStore* convert_store(PyObject* value, const char* parameter);

// A bytes object (or subclass), read in place.
[[nodiscard]] bool convert_bytes(PyObject* value, const char* parameter, std::string_view& out);

}  // namespace brantel::py
