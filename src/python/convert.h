// Conversion of Python arguments into the node model's wire form.
//
// Conversions run before any core lock is taken: a value's __index__ or
// __float__ may run arbitrary code. They write into a Scratch: string views into
// the UTF-8 buffers of str objects that the scratch keeps alive, ids, and the
// record itself, which the add methods build field by field in the scratch's
// buffer and then intern, so an add allocates nothing when the node is a repeat.
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

#include "python/py_ref.h"
#include "store/graph/flat_buffer.h"
#include "store/graph/graph_store.h"
#include "store/model/node.h"
#include "store/model/record.h"

namespace brantel::py {

// Where one encoded param entry (key str, tag, payload) sits in a record.
struct ParamSlot {
  std::size_t begin = 0;
  std::size_t size = 0;
  std::size_t key_size = 0;
};

struct DescriptorSlots {
  // kind, content_hash, framework, version, io_schema: the record's order.
  std::array<std::string_view, 5> fields;
  std::optional<std::string_view> preprocessing_ref;
};

struct Scratch {
  store::FlatBuffer<char> record;
  std::vector<store::NodeId> inputs;
  // Params are encoded into the record as they are read, so no reference to a
  // key or value has to be held while later values' hooks run (a hook may drop
  // them from the dict). A dict out of key order is sorted through these two.
  std::vector<ParamSlot> params;
  store::FlatBuffer<char> entries;
  bool params_have_nan = false;  // a Float holds a NaN other than the canonical one
  DescriptorSlots descriptor;
  // The descriptor dict's strs that the views above point into.
  std::vector<Ref> held;
};

// The thread's scratch and whether a call on this thread holds it, in one
// thread-local record so that a lease finds both with one look-up.
struct ThreadScratch {
  bool busy = false;
  Scratch scratch;
};
ThreadScratch& thread_scratch();

// The thread's scratch. A conversion hook that calls back into the module on the
// same thread gets a private one, so the outer call's views stay intact. Inline:
// every add takes one.
class ScratchLease {
 public:
  ScratchLease() {
    ThreadScratch& state = thread_scratch();
    if (state.busy) [[unlikely]] {
      own_ = std::make_unique<Scratch>();
      scratch_ = own_.get();
    } else {
      state.busy = true;
      busy_ = &state.busy;
      scratch_ = &state.scratch;
    }
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  ~ScratchLease() {
    // Drop the references now, while the thread is attached; a thread-local
    // destructor at thread exit could not.
    if (!scratch_->held.empty()) scratch_->held.clear();
    if (busy_ != nullptr) *busy_ = false;
  }
  Scratch& operator*() const noexcept { return *scratch_; }
  Scratch* operator->() const noexcept { return scratch_; }

 private:
  std::unique_ptr<Scratch> own_;
  Scratch* scratch_;
  bool* busy_ = nullptr;  // the thread's flag, when this lease holds the thread's scratch
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

// None, nullptr or a dict, appended to scratch.record as a record's params
// section (count, then entries in key order); sets scratch.params_have_nan.
[[nodiscard]] bool append_params(PyObject* value, Scratch& scratch);

// A PayloadDescriptor or a dict read by key; fills scratch.descriptor.
[[nodiscard]] bool convert_descriptor(PyObject* value, Scratch& scratch);

// True or False (or a NumPy bool scalar); nullptr keeps `out`.
[[nodiscard]] bool convert_bool(PyObject* value, const char* parameter, bool& out);

// A GraphStore instance.
[[nodiscard]] store::GraphStore* convert_store(PyObject* value, const char* parameter);

// A bytes object (or subclass), read in place.
[[nodiscard]] bool convert_bytes(PyObject* value, const char* parameter, std::string_view& out);

}  // namespace brantel::py
