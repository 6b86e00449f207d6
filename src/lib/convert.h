// Conversion of Python arguments into the node model's wire form.
//
// Conversions run before any core lock is taken: a value's __index__ or
// __float__ may run arbitrary code. They write into a Scratch: string views into
// the UTF-8 buffers of str objects that the scratch keeps alive, ids and
// parameter slots. The add methods then encode one canonical record from it and
// intern the record, so an add allocates nothing when the node is a repeat.
//
// Every function returns false with a Python error set when conversion fails.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/py_ref.h"
#include "store/graph/graph_store.h"
#include "store/model/node.h"
#include "store/model/record.h"

namespace brantel::py {

struct ParamSlot {
  std::string_view key;
  store::ParamTag tag = store::ParamTag::kInt;
  std::uint64_t bits = 0;  // Int as two's complement, Float bits, Bool 0/1
  std::string_view text;   // Str
};

struct DescriptorSlots {
  // kind, content_hash, framework, version, io_schema: the record's order.
  std::array<std::string_view, 5> fields;
  std::optional<std::string_view> preprocessing_ref;
};

struct Scratch {
  std::string record;
  std::vector<store::NodeId> inputs;
  std::vector<ParamSlot> params;  // sorted by key bytes once converted
  DescriptorSlots descriptor;
  // Keys and values the views above point into: a later value's hook may drop
  // them from the dict, so the scratch holds its own references.
  std::vector<Ref> held;
};

// The thread's scratch. A conversion hook that calls back into the module on the
// same thread gets a private one, so the outer call's views stay intact.
class ScratchLease {
 public:
  ScratchLease();
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  ~ScratchLease();
  Scratch& operator*() const noexcept { return *scratch_; }
  Scratch* operator->() const noexcept { return scratch_; }

 private:
  std::unique_ptr<Scratch> own_;
  Scratch* scratch_;
};

// A str argument (str or subclass) as UTF-8; TypeErrors are prefixed with `parameter`.
[[nodiscard]] bool convert_str_argument(PyObject* value, const char* parameter, std::string_view& out);

// Any sequence but str, of ints that fit u64; errors prefixed with `parameter`.
[[nodiscard]] bool convert_ids(PyObject* value, const char* parameter, std::vector<store::NodeId>& out);

// nullptr or None: the stored output marks (nullopt); otherwise as convert_ids.
[[nodiscard]] bool convert_outputs(PyObject* value, std::optional<std::vector<store::NodeId>>& out);

// Checks explicit output ids, in list order, against `node_count`; raises the
// ValueError of the first one that names no node.
[[nodiscard]] bool check_outputs(const std::vector<store::NodeId>& outputs, std::uint64_t node_count);

// None, nullptr or a dict; fills scratch.params, sorted by key bytes.
[[nodiscard]] bool convert_params(PyObject* value, Scratch& scratch);

// A PayloadDescriptor or a dict read by key; fills scratch.descriptor.
[[nodiscard]] bool convert_descriptor(PyObject* value, Scratch& scratch);

// True or False (or a NumPy bool scalar); nullptr keeps `out`.
[[nodiscard]] bool convert_bool(PyObject* value, const char* parameter, bool& out);

// A GraphStore instance.
[[nodiscard]] store::GraphStore* convert_store(PyObject* value, const char* parameter);

// A bytes object (or subclass), read in place.
[[nodiscard]] bool convert_bytes(PyObject* value, const char* parameter, std::string_view& out);

// Appends the params section (count, then entries) of a record.
void write_params(store::RecordWriter& writer, const std::vector<ParamSlot>& params);

}  // namespace brantel::py
