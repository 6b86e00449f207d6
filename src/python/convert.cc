#include "python/convert.h"

#include <algorithm>
#include <bit>
#include <string>

#include "python/errors.h"
#include "python/graph_store.h"
#include "python/module.h"
#include "python/payload_descriptor.h"
#include "python/py_ref.h"
#include "store/model/record.h"

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

bool plain_str(PyObject* value, std::string_view& out) {
  if (!PyUnicode_Check(value)) {
    set_type_mismatch(value, "str");
    return false;
  }
  return utf8_of(value, out);
}

// The UTF-8 bytes of a compact ASCII str are its character data, readable in
// place with no call and no allocation, so even under a container's lock.
bool ascii_in_place(PyObject* value, std::string_view& out) {
  if (!PyUnicode_IS_COMPACT_ASCII(value)) return false;
  const auto size = static_cast<std::uint64_t>(PyUnicode_GET_LENGTH(value));
  if (size > store::kU32Max) return false;  // utf8_of raises
  out = std::string_view(static_cast<const char*>(PyUnicode_DATA(value)), static_cast<std::size_t>(size));
  return true;
}

// ---- ids -------------------------------------------------------------------

// int and its subclasses (bool among them) convert without running any hook.
bool id_of_int(PyObject* item, store::NodeId& out) {
  const unsigned long long v = PyLong_AsUnsignedLongLong(item);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

// May run the item's __index__, so never inside a critical section.
bool id_of_object(PyObject* item, store::NodeId& out) {
  if (PyLong_Check(item)) return id_of_int(item, out);
  Ref index = Ref::steal(PyNumber_Index(item));
  return index && id_of_int(index.get(), out);
}

// Reads the list under its lock while items are ints; an item that needs its
// __index__ is taken out with a reference and converted after the section ends,
// then the walk resumes at the next index against the list's current length, as
// a list iterator would. `Ids`: IdBuffer or std::vector.
template <typename Ids>
bool ids_of_list(PyObject* list, Ids& out) {
  for (Py_ssize_t i = 0;; ++i) {
    Ref pending;
    {
      CriticalSection section(list);
      // Only a hint, since the list may change length while it is read.
      if (i == 0) out.reserve(static_cast<std::uint32_t>(std::min<Py_ssize_t>(PyList_GET_SIZE(list), 0xffffffff)));
      for (; i < PyList_GET_SIZE(list); ++i) {
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
    store::NodeId id = 0;
    if (!id_of_object(pending.get(), id)) return false;
    out.push_back(id);
  }
}

template <typename Ids>
bool ids_of_any(PyObject* value, Ids& out) {
  if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (PyList_CheckExact(value)) return ids_of_list(value, out);
  if (!PySequence_Check(value)) {
    set_type_mismatch(value, "Sequence");
    return false;
  }
  // Any other sequence, through the iterator protocol.
  Ref iterator = Ref::steal(PyObject_GetIter(value));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    store::NodeId id = 0;
    if (!id_of_object(item.get(), id)) return false;
    out.push_back(id);
  }
  return !PyErr_Occurred();
}

// Any sequence but str, with errors prefixed with `parameter`.
template <typename Ids>
bool ids_of(PyObject* value, const char* parameter, Ids& out) {
  out.clear();
  if (!ids_of_any(value, out)) {
    wrap_argument_error(parameter);
    return false;
  }
  if (out.size() > store::kU32Max) {
    PyErr_SetString(PyExc_OverflowError, "more than 4294967295 ids cannot be stored");
    return false;
  }
  return true;
}

// ---- param values ------------------------------------------------------------

// A converted value before it is encoded; `text` points into a str the caller
// keeps alive until then.
struct ParamValueOut {
  store::ParamTag tag = store::ParamTag::kInt;
  std::uint64_t bits = 0;  // Int as two's complement, Float bits, Bool 0/1
  std::string_view text;   // Str
};

ParamValueOut int_param(long long v) { return {store::ParamTag::kInt, static_cast<std::uint64_t>(v), {}}; }
ParamValueOut float_param(double v) { return {store::ParamTag::kFloat, std::bit_cast<std::uint64_t>(v), {}}; }

// The fast path: exact types whose conversion is a plain read. No code runs,
// nothing is allocated and nothing can fail, so it may run under the dict's
// lock. Anything else returns false and takes the general rules, which this
// agrees with on every value it accepts. Exact bool comes before int, since
// bool subclasses int; an int outside int64 may still be a Float (2**70), so it
// is left to the general rules.
bool exact_param_value(PyObject* value, ParamValueOut& out) {
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyBool_Type) {
    out = {store::ParamTag::kBool, value == Py_True ? 1U : 0U, {}};
    return true;
  }
  if (type == &PyLong_Type) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) return false;
    out = int_param(v);
    return true;
  }
  if (type == &PyFloat_Type) {
    out = float_param(PyFloat_AS_DOUBLE(value));
    return true;
  }
  if (type == &PyUnicode_Type) {
    out.tag = store::ParamTag::kStr;
    return ascii_in_place(value, out.text);
  }
  return false;
}

// A failed conversion rule means "try the next rule"; only ordinary errors are
// swallowed that way. KeyboardInterrupt, SystemExit or a PanicException raised
// inside a hook end the call.
bool clear_ordinary_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
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
      out = float_param(d);
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

// The rules, in order: exact bool; the integer protocol (within int64, else an
// exact Float, else OverflowError); the float protocol; str. May run a value's
// hooks, so never inside a critical section. `key` names the param in an error.
bool param_value(PyObject* value, std::string_view key, ParamValueOut& out) {
  if (exact_param_value(value, out)) return true;
  if (PyLong_Check(value) || PyIndex_Check(value)) {
    Ref index = PyLong_Check(value) ? Ref::borrow(value) : Ref::steal(PyNumber_Index(value));
    if (index) {
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
      if (overflow != 0) return set_wide_int(out, index.get(), key);
      if (v != -1 || !PyErr_Occurred()) {
        out = int_param(v);
        return true;
      }
    }
    if (!clear_ordinary_error()) return false;
  }
  if (has_float_protocol(value)) {
    const double d = PyFloat_AsDouble(value);
    if (d != -1.0 || !PyErr_Occurred()) {
      out = float_param(d);
      return true;
    }
    if (!clear_ordinary_error()) return false;
  }
  if (PyUnicode_Check(value)) {
    out.tag = store::ParamTag::kStr;
    return utf8_of(value, out.text);
  }
  PyErr_SetString(PyExc_TypeError, "param values must be int, float, bool, or str");
  return false;
}

// Encodes a params section at the end of a record one entry at a time, in dict
// order, so no reference to a key or value has to be held while later values'
// hooks run (a hook may drop them from the dict). finish() writes the count and
// puts the entries in key order.
class ParamsEncoder {
 public:
  ParamsEncoder(RecordBuffer& out, bool& has_nan) : out_(out), begin_(out.size()), has_nan_(has_nan) {
    out_.append_uninitialized(4);  // the count, written by finish()
    has_nan_ = false;
  }

  void append(std::string_view key, const ParamValueOut& value) {
    using store::SizedRecordWriter;
    // A dict's keys are distinct, so order only needs checking against the last.
    if (count_ != 0 && key <= std::string_view(out_.data() + last_key_at_, last_key_size_)) in_order_ = false;
    std::size_t payload = 8;
    if (value.tag == store::ParamTag::kBool) payload = 1;
    if (value.tag == store::ParamTag::kStr) payload = SizedRecordWriter::str_size(value.text);
    last_key_at_ = out_.size() + 4;
    last_key_size_ = key.size();
    SizedRecordWriter w = extend(out_, SizedRecordWriter::str_size(key) + 1 + payload);
    w.str(key);
    w.u8(static_cast<std::uint8_t>(value.tag));
    switch (value.tag) {
      case store::ParamTag::kInt: w.u64(value.bits); break;
      case store::ParamTag::kFloat:
        w.u64(value.bits);
        if (store::is_noncanonical_nan(value.bits)) has_nan_ = true;
        break;
      case store::ParamTag::kBool: w.u8(static_cast<std::uint8_t>(value.bits)); break;
      case store::ParamTag::kStr: w.str(value.text); break;
    }
    ++count_;
  }

  bool finish() {
    if (count_ > store::kU32Max) {
      PyErr_SetString(PyExc_OverflowError, "more than 4294967295 params cannot be stored");
      return false;
    }
    store::write_u32(out_.data() + begin_, static_cast<std::uint32_t>(count_));
    // Keys in strictly rising order are distinct; only a dict out of order can
    // hold two keys with the same text (str subclasses with their own __eq__ and
    // __hash__), which would make a node with a key it cannot show.
    return in_order_ || sort_entries();
  }

 private:
  // Rare: the caller's dict was not in key order. The entries are read back,
  // ordered by key and written out again.
  bool sort_entries() {
    store::ParamMap entries = store::ParamsView(out_.data() + begin_ + 4, static_cast<std::uint32_t>(count_)).to_map();
    store::sort_params(entries);
    const auto same_key = std::adjacent_find(entries.begin(), entries.end(),
                                             [](const auto& a, const auto& b) { return a.key == b.key; });
    if (same_key != entries.end()) {
      if (Ref text = str_of(same_key->key)) {
        PyErr_Format(PyExc_ValueError, "params hold two keys with the text %R", text.get());
      }
      return false;
    }
    std::string sorted;
    store::RecordWriter(sorted).params(entries);
    out_.truncate(static_cast<std::uint32_t>(begin_));
    extend(out_, sorted.size()).bytes(sorted);
    return true;
  }

  RecordBuffer& out_;
  std::size_t begin_;
  bool& has_nan_;
  std::size_t count_ = 0;
  bool in_order_ = true;
  std::size_t last_key_at_ = 0;
  std::size_t last_key_size_ = 0;
};

// numpy.bool (NumPy 2) or numpy.bool_ (NumPy 1).
bool is_numpy_bool(PyTypeObject* type) {
  Ref name = Ref::steal(PyType_GetFullyQualifiedName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_EqualToUTF8(name.get(), "numpy.bool") || PyUnicode_EqualToUTF8(name.get(), "numpy.bool_");
}

}  // namespace

bool convert_str_argument(PyObject* value, const char* parameter, std::string_view& out) {
  if (plain_str(value, out)) return true;
  wrap_argument_error(parameter);
  return false;
}

bool convert_ids(PyObject* value, const char* parameter, IdBuffer& out) { return ids_of(value, parameter, out); }

bool convert_outputs(PyObject* value, std::optional<std::vector<store::NodeId>>& out) {
  if (value == nullptr || value == Py_None) {
    out.reset();
    return true;
  }
  out.emplace();
  return ids_of(value, "outputs", *out);
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

bool convert_params(PyObject* value, RecordBuffer& out, bool& has_nan) {
  ParamsEncoder params(out, has_nan);
  if (value == nullptr || value == Py_None) return params.finish();
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "params must be a dict or None");
    return false;
  }
  // Items are fetched under the dict's lock. One whose key and value take the
  // fast path is encoded right there; any other is taken out with strong
  // references and converted after the section has ended, so a value's hook
  // runs with the dict unlocked. The size and item count are checked before
  // each fetch, as a dict iterator does, so a hook (or, free-threaded, another
  // thread) that changes the dict ends the call with a dict iterator's
  // RuntimeError.
  Py_ssize_t position = 0;
  Py_ssize_t expected_size = -1;
  Py_ssize_t remaining = 0;
  for (;;) {
    Ref key;
    Ref item;
    {
      CriticalSection section(value);
      if (expected_size < 0) remaining = expected_size = PyDict_GET_SIZE(value);
      for (;;) {
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
        std::string_view key_text;
        ParamValueOut converted;
        if (PyUnicode_Check(k) && ascii_in_place(k, key_text) && exact_param_value(v, converted)) {
          params.append(key_text, converted);
          continue;
        }
        key = Ref::borrow(k);
        item = Ref::borrow(v);
        break;
      }
    }
    if (!key) return params.finish();
    std::string_view key_text;
    ParamValueOut converted;
    if (!plain_str(key.get(), key_text) || !param_value(item.get(), key_text, converted)) return false;
    params.append(key_text, converted);
  }
}

bool convert_descriptor(PyObject* value, store::PayloadDescriptor& out) {
  if (const store::PayloadDescriptor* d = payload_descriptor_of(value)) {
    out = *d;
    return true;
  }
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
    return false;
  }
  // Copied, not viewed: a params hook that runs later may drop them from the dict.
  auto copy_str = [](PyObject* object, std::string& field) {
    std::string_view text;
    if (!plain_str(object, text)) return false;
    field.assign(text);
    return true;
  };
  const ModuleObjects& objects = module_objects();
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(value, objects.str(Interned::kPreprocessingRef), &found) < 0) return false;
  Ref reference = Ref::steal(found);
  out.preprocessing_ref.reset();
  if (reference && reference.get() != Py_None) {
    std::string text;
    if (!copy_str(reference.get(), text)) return false;
    out.preprocessing_ref = std::move(text);
  }
  const std::pair<Interned, std::string*> required[] = {{Interned::kKind, &out.kind},
                                                        {Interned::kContentHash, &out.content_hash},
                                                        {Interned::kFramework, &out.framework},
                                                        {Interned::kVersion, &out.version},
                                                        {Interned::kIoSchema, &out.io_schema}};
  for (const auto& [name, field] : required) {
    found = nullptr;
    const int r = PyDict_GetItemRef(value, objects.str(name), &found);
    if (r < 0) return false;
    if (r == 0) {
      PyErr_Format(PyExc_ValueError, "descriptor missing required field '%s'", interned_text(name));
      return false;
    }
    Ref held = Ref::steal(found);
    if (!copy_str(held.get(), *field)) return false;
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
