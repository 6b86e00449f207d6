#include "python/convert.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <string>

#include "python/errors.h"
#include "python/graph_store.h"
#include "python/module.h"
#include "python/payload_descriptor.h"
#include "support/check.h"

namespace brantel::py {

namespace {

// Records store lengths and counts as u32; a larger string cannot be stored.
bool utf8_of(PyObject* str, std::string_view& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  if (static_cast<std::uint64_t>(size) > store::kU32Max) {
    PyErr_SetString(PyExc_OverflowError, "string longer than 4294967295 bytes cannot be stored");
    return false;
  }
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

// The UTF-8 bytes of a compact ASCII str are its character data, readable in
// place with no call, no lock and no allocation.
bool ascii_in_place(PyObject* value, std::string_view& out) {
  if (!PyUnicode_IS_COMPACT_ASCII(value)) return false;
  const auto size = static_cast<std::uint64_t>(PyUnicode_GET_LENGTH(value));
  if (size > store::kU32Max) return false;  // the general path raises
  out = std::string_view(static_cast<const char*>(PyUnicode_DATA(value)), static_cast<std::size_t>(size));
  return true;
}

bool plain_str(PyObject* value, std::string_view& out) {
  if (!PyUnicode_Check(value)) {
    set_type_mismatch(value, "str");
    return false;
  }
  return ascii_in_place(value, out) || utf8_of(value, out);
}

// ---- ids -------------------------------------------------------------------

// int and its subclasses (bool among them) convert without running any hook.
bool id_of_int(PyObject* item, store::NodeId& out) {
  if (PyLong_CheckExact(item) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) {
    const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item));
    if (v >= 0) {
      out = static_cast<store::NodeId>(v);
      return true;
    }
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(item);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

// May run the item's __index__, so never inside a critical section.
bool id_of_object(PyObject* item, store::NodeId& out) {
  if (PyLong_Check(item)) return id_of_int(item, out);
  Ref index = Ref::steal(PyNumber_Index(item));
  if (!index) return false;
  return id_of_int(index.get(), out);
}

// Room for `more` ids in one block rather than by doubling. Only a hint, since a
// list may change length while it is read.
void reserve_ids(std::vector<store::NodeId>& out, Py_ssize_t more) {
  out.reserve(out.size() + static_cast<std::size_t>(more));
}

// Reads the list under its lock while items are ints; an item that needs its
// __index__ is taken out with a reference and converted after the section ends,
// then the walk resumes at the next index against the list's current length, as
// a list iterator would.
bool ids_of_list(PyObject* list, std::vector<store::NodeId>& out) {
  Py_ssize_t i = 0;
  for (;;) {
    Ref pending;
    {
      CriticalSection section(list);
      const Py_ssize_t n = PyList_GET_SIZE(list);
      if (i == 0) reserve_ids(out, n);
      for (; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (!PyLong_Check(item)) {
          pending = Ref::borrow(item);
          break;
        }
        store::NodeId id = 0;
        if (!id_of_int(item, id)) return false;
        out.push_back(id);
      }
      if (!pending) return true;
    }
    ++i;
    store::NodeId id = 0;
    if (!id_of_object(pending.get(), id)) return false;
    out.push_back(id);
  }
}

bool ids_of_tuple(PyObject* tuple, std::vector<store::NodeId>& out) {
  const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
  reserve_ids(out, n);
  for (Py_ssize_t i = 0; i < n; ++i) {
    store::NodeId id = 0;
    if (!id_of_object(PyTuple_GET_ITEM(tuple, i), id)) return false;
    out.push_back(id);
  }
  return true;
}

bool ids_of_iterable(PyObject* sequence, std::vector<store::NodeId>& out) {
  Ref iterator = Ref::steal(PyObject_GetIter(sequence));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    store::NodeId id = 0;
    if (!id_of_object(item.get(), id)) return false;
    out.push_back(id);
  }
  return !PyErr_Occurred();
}

bool ids_of(PyObject* value, std::vector<store::NodeId>& out) {
  if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (PyList_CheckExact(value)) return ids_of_list(value, out);
  if (PyTuple_CheckExact(value)) return ids_of_tuple(value, out);
  if (!PySequence_Check(value)) {
    set_type_mismatch(value, "Sequence");
    return false;
  }
  return ids_of_iterable(value, out);
}

// ---- param values ------------------------------------------------------------

// A converted value before it is encoded; `text` points into a str the caller
// keeps alive until then.
struct ParamValueOut {
  store::ParamTag tag = store::ParamTag::kInt;
  std::uint64_t bits = 0;  // Int as two's complement, Float bits, Bool 0/1
  std::string_view text;   // Str
};

// A failed conversion rule means "try the next rule"; only ordinary errors are
// swallowed that way. KeyboardInterrupt, SystemExit or a PanicException raised
// inside a hook end the call.
bool clear_ordinary_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

bool param_values_error() {
  PyErr_SetString(PyExc_TypeError, "param values must be int, float, bool, or str");
  return false;
}

void set_int(ParamValueOut& out, long long v) {
  out.tag = store::ParamTag::kInt;
  out.bits = static_cast<std::uint64_t>(v);
}
void set_float(ParamValueOut& out, double v) {
  out.tag = store::ParamTag::kFloat;
  out.bits = std::bit_cast<std::uint64_t>(v);
}

bool set_str(ParamValueOut& out, PyObject* value) {
  out.tag = store::ParamTag::kStr;
  return utf8_of(value, out.text);
}

// An integer outside int64 becomes a Float only when the double holds it
// exactly (2**63, 2**70): rounding would hand the pipeline a seed or an id it was
// never given, and make distinct ints one node.
bool set_wide_int(ParamValueOut& out, PyObject* integer, std::string_view key) {
  const double d = PyLong_AsDouble(integer);
  if (d == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
  } else {
    Ref as_float = Ref::steal(PyFloat_FromDouble(d));
    if (!as_float) return false;
    // float == int compares exact values.
    const int exact = PyObject_RichCompareBool(as_float.get(), integer, Py_EQ);
    if (exact < 0) return false;
    if (exact == 1) {
      set_float(out, d);
      return true;
    }
  }
  const std::string message = "param '" + std::string(key) +
                              "': the integer fits neither an Int (signed 64 bits) nor, exactly, a Float";
  PyErr_SetString(PyExc_OverflowError, message.c_str());
  return false;
}

bool has_float_protocol(PyObject* value) {
  if (PyFloat_Check(value)) return true;
  const PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
  return number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr);
}

// The general rules, in order: exact bool; the integer protocol (within int64,
// else an exact Float, else OverflowError); the float protocol; str.
[[gnu::noinline]] bool param_value_uncommon(PyObject* value, std::string_view key, ParamValueOut& out) {
  if (PyLong_Check(value) || PyIndex_Check(value)) {
    Ref index = PyLong_Check(value) ? Ref::borrow(value) : Ref::steal(PyNumber_Index(value));
    if (index) {
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
      if (overflow != 0) return set_wide_int(out, index.get(), key);
      if (v != -1 || !PyErr_Occurred()) {
        set_int(out, v);
        return true;
      }
    }
    if (!clear_ordinary_error()) return false;
  }
  if (has_float_protocol(value)) {
    const double d = PyFloat_AsDouble(value);
    if (d != -1.0 || !PyErr_Occurred()) {
      set_float(out, d);
      return true;
    }
    if (!clear_ordinary_error()) return false;
  }
  if (PyUnicode_Check(value)) return set_str(out, value);
  return param_values_error();
}

// Exact types first, keeping the order of the general rules: exact bool before
// int (bool subclasses int); an exact int that overflows int64 is a Float when
// exact (2**70 -> Float). `key` names the param in an error.
bool param_value(PyObject* value, std::string_view key, ParamValueOut& out) {
  if (Py_IS_TYPE(value, &PyBool_Type)) {
    out.tag = store::ParamTag::kBool;
    out.bits = value == Py_True ? 1 : 0;
    return true;
  }
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
      if (v == -1 && PyErr_Occurred()) return false;
      set_int(out, v);
      return true;
    }
    return set_wide_int(out, value, key);
  }
  if (PyFloat_CheckExact(value)) {
    set_float(out, PyFloat_AS_DOUBLE(value));
    return true;
  }
  if (PyUnicode_CheckExact(value)) return set_str(out, value);
  return param_value_uncommon(value, key, out);
}

// The value rules for the exact types whose conversion runs no code, takes no
// lock, allocates nothing and cannot fail; anything else returns false and goes
// the general way. Agrees with param_value on every value it accepts.
bool param_value_in_place(PyObject* value, ParamValueOut& out) {
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyBool_Type) {
    out.tag = store::ParamTag::kBool;
    out.bits = value == Py_True ? 1 : 0;
    return true;
  }
  if (type == &PyLong_Type) {
    // A compact int fits a machine word, hence int64.
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) return false;
    set_int(out, PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value)));
    return true;
  }
  if (type == &PyFloat_Type) {
    set_float(out, PyFloat_AS_DOUBLE(value));
    return true;
  }
  if (type == &PyUnicode_Type) {
    out.tag = store::ParamTag::kStr;
    return ascii_in_place(value, out.text);
  }
  return false;
}

// The params section being appended to a record, one entry (key str, tag,
// payload) at a time in dict order; finish() writes the count and puts the
// entries in key order.
class ParamsAppender {
 public:
  explicit ParamsAppender(Scratch& scratch)
      : scratch_(scratch), count_at_(scratch.record.size()), entries_at_(count_at_ + 4) {
    scratch.params_have_nan = false;
    scratch.record.extend(4);
  }

  void append(std::string_view key, const ParamValueOut& value) {
    using store::SizedRecordWriter;
    store::FlatBuffer<char>& record = scratch_.record;
    // A dict's keys are distinct, so order only needs checking against the last.
    if (count_ != 0 && in_order_ && !follows(key, std::string_view(record.data() + last_key_at_, last_key_size_))) {
      in_order_ = false;
    }
    std::size_t payload = 8;
    if (value.tag == store::ParamTag::kBool) payload = 1;
    if (value.tag == store::ParamTag::kStr) payload = SizedRecordWriter::str_size(value.text);
    last_key_at_ = record.size() + 4;
    last_key_size_ = key.size();
    SizedRecordWriter w(record.extend(SizedRecordWriter::str_size(key) + 1 + payload));
    w.str(key);
    w.u8(static_cast<std::uint8_t>(value.tag));
    switch (value.tag) {
      case store::ParamTag::kInt: w.u64(value.bits); break;
      case store::ParamTag::kFloat:
        w.u64(value.bits);
        if (store::is_noncanonical_nan(value.bits)) scratch_.params_have_nan = true;
        break;
      case store::ParamTag::kBool: w.u8(static_cast<std::uint8_t>(value.bits)); break;
      case store::ParamTag::kStr: w.str(value.text); break;
    }
    ++count_;
  }

  // Whether `key` sorts after `last`; keys mostly differ in their first byte,
  // which settles it without a call to memcmp.
  static bool follows(std::string_view key, std::string_view last) {
    if (!key.empty() && !last.empty() && key[0] != last[0]) {
      return static_cast<unsigned char>(key[0]) > static_cast<unsigned char>(last[0]);
    }
    return key > last;
  }

  bool finish() {
    if (count_ > store::kU32Max) {
      PyErr_SetString(PyExc_OverflowError, "more than 4294967295 params cannot be stored");
      return false;
    }
    store::write_u32(scratch_.record.data() + count_at_, static_cast<std::uint32_t>(count_));
    // Keys in strictly rising order are distinct; only a dict out of order can
    // hold two keys with the same text (str subclasses with their own __eq__ and
    // __hash__), which would make a node with a key it cannot show.
    return in_order_ || sort_entries();
  }

 private:
  // Rare: the caller's dict was not in key order. Entries are re-read from the
  // record, ordered by key and written back in place.
  bool sort_entries() {
    std::vector<ParamSlot>& slots = scratch_.params;
    slots.clear();
    const char* record = scratch_.record.data();
    std::size_t at = entries_at_;
    for (std::size_t k = 0; k < count_; ++k) {
      ParamSlot slot{at, 0, store::read_u32(record + at)};
      std::size_t end = at + 4 + slot.key_size;
      const auto tag = static_cast<store::ParamTag>(record[end]);
      end += 1;
      if (tag == store::ParamTag::kBool) end += 1;
      else if (tag == store::ParamTag::kStr) end += 4 + store::read_u32(record + end);
      else end += 8;
      slot.size = end - at;
      slots.push_back(slot);
      at = end;
    }
    auto key_of = [&](const ParamSlot& slot) { return std::string_view(record + slot.begin + 4, slot.key_size); };
    std::sort(slots.begin(), slots.end(),
                     [&](const ParamSlot& a, const ParamSlot& b) { return key_of(a) < key_of(b); });
    const auto same_key = std::adjacent_find(slots.begin(), slots.end(), [&](const ParamSlot& a, const ParamSlot& b) {
      return key_of(a) == key_of(b);
    });
    if (same_key != slots.end()) {
      const std::string_view key = key_of(*same_key);
      Ref text = Ref::steal(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr));
      if (text) PyErr_Format(PyExc_ValueError, "params hold two keys with the text %R", text.get());
      return false;
    }
    store::FlatBuffer<char>& sorted = scratch_.entries;
    sorted.clear();
    for (const ParamSlot& slot : slots) sorted.append(record + slot.begin, slot.size);
    std::memcpy(scratch_.record.data() + entries_at_, sorted.data(), sorted.size());
    return true;
  }

  Scratch& scratch_;
  std::size_t count_at_;
  std::size_t entries_at_;
  std::size_t count_ = 0;
  bool in_order_ = true;
  std::size_t last_key_at_ = 0;
  std::size_t last_key_size_ = 0;
};

// Appends the item when its conversion is a plain read (see param_value_in_place)
// and its key an ASCII str; returns false, having appended nothing, otherwise.
// Forced inline: out of line, the call cost every add some fifty instructions.
[[gnu::always_inline]] inline bool append_in_place(ParamsAppender& params, PyObject* key, PyObject* value) {
  std::string_view key_text;
  ParamValueOut converted;
  if (!PyUnicode_Check(key) || !ascii_in_place(key, key_text) || !param_value_in_place(value, converted)) return false;
  params.append(key_text, converted);
  return true;
}

bool is_numpy_bool(PyTypeObject* type) {
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_EqualToUTF8(name.get(), "bool") && !PyUnicode_EqualToUTF8(name.get(), "bool_")) return false;
  Ref module = Ref::steal(PyType_GetModuleName(type));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) && PyUnicode_EqualToUTF8(module.get(), "numpy");
}

}  // namespace

ThreadScratch& thread_scratch() {
  thread_local ThreadScratch state;
  return state;
}

bool convert_str_argument(PyObject* value, const char* parameter, std::string_view& out) {
  if (plain_str(value, out)) return true;
  wrap_argument_error(parameter);
  return false;
}

bool convert_ids(PyObject* value, const char* parameter, std::vector<store::NodeId>& out) {
  out.clear();
  if (!ids_of(value, out)) {
    wrap_argument_error(parameter);
    return false;
  }
  if (out.size() > store::kU32Max) {
    PyErr_SetString(PyExc_OverflowError, "more than 4294967295 ids cannot be stored");
    return false;
  }
  return true;
}

bool convert_outputs(PyObject* value, std::optional<std::vector<store::NodeId>>& out) {
  if (value == nullptr || value == Py_None) {
    out.reset();
    return true;
  }
  out.emplace();
  return convert_ids(value, "outputs", *out);
}

bool check_outputs(const std::vector<store::NodeId>& outputs, std::uint64_t node_count) {
  for (store::NodeId id : outputs) {
    if (id >= node_count) {
      raise_store_error(store::StoreError{id});
      return false;
    }
  }
  return true;
}

bool append_params(PyObject* value, Scratch& scratch) {
  ParamsAppender params(scratch);
  if (value == nullptr || value == Py_None) return params.finish();
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "params must be a dict or None");
    return false;
  }
  // Items are fetched under the dict's lock. A key and value whose conversion is
  // a plain read (ASCII str keys; bool, word-sized int, float, ASCII str values)
  // are converted and copied out right there. Any other item is taken out with
  // strong references and converted after the section has ended, so a value's
  // hook runs with the dict unlocked; the size and item count are checked
  // before each fetch, as a dict iterator does, so a hook that changes the dict
  // ends the call with the RuntimeError a dict iterator raises.
  Py_ssize_t position = 0;
  Py_ssize_t expected_size = 0;
  Py_ssize_t remaining = 0;
  {
    // The common case: every item converts in place, all under one hold, and
    // the dict cannot change meanwhile. The first item that does not is left
    // for the loop below, which fetches it again.
    CriticalSection section(value);
    expected_size = PyDict_GET_SIZE(value);
    for (remaining = expected_size; remaining > 0; --remaining) {
      const Py_ssize_t before = position;
      PyObject* k = nullptr;
      PyObject* v = nullptr;
      if (!PyDict_Next(value, &position, &k, &v)) break;
      if (!append_in_place(params, k, v)) {
        position = before;
        break;
      }
    }
  }
  if (remaining == 0) return params.finish();
  for (;;) {
    Ref key;
    Ref item;
    {
      CriticalSection section(value);
      for (;;) {
        // The interpreter's own errors for a dict changed under its iterator.
        if (PyDict_GET_SIZE(value) != expected_size) {
          PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
          return false;
        }
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        if (!PyDict_Next(value, &position, &k, &v)) break;
        if (remaining == 0) {
          PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
          return false;
        }
        --remaining;
        if (append_in_place(params, k, v)) continue;
        key = Ref::borrow(k);
        item = Ref::borrow(v);
        break;
      }
    }
    if (!key) break;
    std::string_view key_text;
    if (!plain_str(key.get(), key_text)) return false;
    ParamValueOut converted;
    if (!param_value(item.get(), key_text, converted)) return false;
    params.append(key_text, converted);
  }
  return params.finish();
}

bool convert_descriptor(PyObject* value, Scratch& scratch) {
  DescriptorSlots& out = scratch.descriptor;
  if (const store::PayloadDescriptor* d = payload_descriptor_of(value)) {
    out.fields = {d->kind, d->content_hash, d->framework, d->version, d->io_schema};
    out.preprocessing_ref.reset();
    if (d->preprocessing_ref) out.preprocessing_ref = *d->preprocessing_ref;
    return true;
  }
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
    return false;
  }
  const ModuleObjects& objects = module_objects();
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(value, objects.str(Interned::kPreprocessingRef), &found) < 0) return false;
  Ref reference = Ref::steal(found);
  out.preprocessing_ref.reset();
  if (reference && reference.get() != Py_None) {
    std::string_view text;
    if (!plain_str(reference.get(), text)) return false;
    out.preprocessing_ref = text;
    scratch.held.push_back(std::move(reference));
  }
  static constexpr Interned kRequired[] = {Interned::kKind, Interned::kContentHash, Interned::kFramework,
                                           Interned::kVersion, Interned::kIoSchema};
  for (std::size_t i = 0; i < 5; ++i) {
    found = nullptr;
    const int r = PyDict_GetItemRef(value, objects.str(kRequired[i]), &found);
    if (r < 0) return false;
    if (r == 0) {
      PyErr_Format(PyExc_ValueError, "descriptor missing required field '%s'", interned_text(kRequired[i]));
      return false;
    }
    Ref field = Ref::steal(found);
    if (!plain_str(field.get(), out.fields[i])) return false;
    scratch.held.push_back(std::move(field));
  }
  return true;
}

bool convert_bool(PyObject* value, const char* parameter, bool& out) {
  if (value == nullptr) return true;
  if (value == Py_True || value == Py_False) {
    out = value == Py_True;
    return true;
  }
  if (is_numpy_bool(Py_TYPE(value))) {
    // NumPy's bool scalar is not a bool subclass; its truth value is its value.
    const PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (number != nullptr && number->nb_bool != nullptr) {
      const int truth = number->nb_bool(value);
      if (truth >= 0) {
        out = truth == 1;
        return true;
      }
    } else {
      PyErr_Format(PyExc_TypeError, "object of type '%T' does not define a '__bool__' conversion", value);
    }
  } else {
    set_type_mismatch(value, "bool");
  }
  wrap_argument_error(parameter);
  return false;
}

store::GraphStore* convert_store(PyObject* value, const char* parameter) {
  if (store::GraphStore* s = graph_store_of(value)) return s;
  set_type_mismatch(value, "GraphStore");
  wrap_argument_error(parameter);
  return nullptr;
}

bool convert_bytes(PyObject* value, const char* parameter, std::string_view& out) {
  if (!PyBytes_Check(value)) {
    set_type_mismatch(value, "bytes");
    wrap_argument_error(parameter);
    return false;
  }
  out = std::string_view(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
  return true;
}

}  // namespace brantel::py
