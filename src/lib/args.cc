#include "lib/args.h"

#include <string>
#include <vector>

namespace brantel::py {

namespace {

// Identity first: call sites pass interned names, so the common case costs one
// pointer comparison per parameter.
int find_parameter(const ArgSpec& spec, PyObject* name) {
  const ModuleObjects& objects = module_objects();
  for (int j = 0; j < spec.count; ++j) {
    if (objects.str(spec.names[j]) == name) return j;
  }
  if (!PyUnicode_Check(name)) return -1;
  for (int j = 0; j < spec.count; ++j) {
    if (PyUnicode_EqualToUTF8(name, interned_text(spec.names[j]))) return j;
  }
  return -1;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string parameter_list(const ArgSpec& spec, const std::vector<int>& missing) {
  std::string out;
  const std::size_t n = missing.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i != 0) {
      if (n > 2) out += ',';
      out += i == n - 1 ? " and " : " ";
    }
    out += '\'';
    out += interned_text(spec.names[missing[i]]);
    out += '\'';
  }
  return out;
}

bool report_missing(const ArgSpec& spec, const ArgSlots& out, int from, int to, const char* kind) {
  std::vector<int> missing;
  for (int j = from; j < to; ++j) {
    if (out[j] == nullptr) missing.push_back(j);
  }
  if (missing.empty()) return true;
  const std::string names = parameter_list(spec, missing);
  PyErr_Format(PyExc_TypeError, "%s missing %zu required %s %s: %s", spec.function, missing.size(), kind,
               missing.size() == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

bool parse(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* const* kw_names,
           PyObject* const* kw_values, Py_ssize_t nkw, ArgSlots& out) {
  out.fill(nullptr);
  if (nargs > spec.positional) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (spec.required_positional != spec.positional) {
      PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given", spec.function,
                   spec.required_positional, spec.positional, nargs, verb);
    } else {
      PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", spec.function,
                   spec.positional, nargs, verb);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    const int j = find_parameter(spec, kw_names[k]);
    if (j < 0) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", spec.function, kw_names[k]);
      return false;
    }
    if (out[j] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", spec.function,
                   interned_text(spec.names[j]));
      return false;
    }
    out[j] = kw_values[k];
  }
  return report_missing(spec, out, static_cast<int>(nargs), spec.required_positional, "positional") &&
         report_missing(spec, out, spec.positional, spec.positional + spec.required_keyword, "keyword");
}

}  // namespace

bool parse_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    ArgSlots& out) {
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  // The common call: positional arguments only, within the allowed range.
  if (nkw == 0 && nargs >= spec.required_positional && nargs <= spec.positional && spec.required_keyword == 0) {
    out.fill(nullptr);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    return true;
  }
  PyObject* const* names = nkw == 0 ? nullptr : PySequence_Fast_ITEMS(kwnames);
  return parse(spec, args, nargs, names, args + nargs, nkw, out);
}

bool parse_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs, ArgSlots& out,
                      std::array<Ref, kMaxArgs>& keep) {
  std::vector<Ref> held;
  std::vector<PyObject*> names;
  std::vector<PyObject*> values;
  if (kwargs != nullptr) {
    CriticalSection section(kwargs);
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      held.push_back(Ref::borrow(key));
      held.push_back(Ref::borrow(value));
      names.push_back(key);
      values.push_back(value);
    }
  }
  if (!parse(spec, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), names.data(), values.data(),
             static_cast<Py_ssize_t>(names.size()), out)) {
    return false;
  }
  for (std::size_t j = 0; j < kMaxArgs; ++j) keep[j] = Ref::borrow(out[j]);
  return true;
}

}  // namespace brantel::py
