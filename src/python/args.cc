#include "python/args.h"

#include <string>
#include <vector>

namespace brantel::py {

namespace {

// Identity first: call sites pass interned names, so the common case costs one
// pointer comparison per parameter.
int find_parameter(const ArgSignature& signature, PyObject* name) {
  const ModuleObjects& objects = module_objects();
  for (int j = 0; j < signature.count; ++j) {
    if (objects.str(signature.names[j]) == name) return j;
  }
  if (!PyUnicode_Check(name)) return -1;
  for (int j = 0; j < signature.count; ++j) {
    if (PyUnicode_EqualToUTF8(name, interned_text(signature.names[j]))) return j;
  }
  return -1;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string parameter_list(const ArgSignature& signature, const std::vector<int>& missing) {
  std::string out;
  const std::size_t n = missing.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i != 0) {
      if (n > 2) out += ',';
      out += i == n - 1 ? " and " : " ";
    }
    out += '\'';
    out += interned_text(signature.names[missing[i]]);
    out += '\'';
  }
  return out;
}

bool report_missing(const ArgSignature& signature, const ArgSlots& out, int from, int to, const char* kind) {
  std::vector<int> missing;
  for (int j = from; j < to; ++j) {
    if (out[j] == nullptr) missing.push_back(j);
  }
  if (missing.empty()) return true;
  const std::string names = parameter_list(signature, missing);
  PyErr_Format(PyExc_TypeError, "%s missing %zu required %s %s: %s", signature.function, missing.size(), kind,
               missing.size() == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

bool parse(const ArgSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* const* kw_names,
           PyObject* const* kw_values, Py_ssize_t nkw, ArgSlots& out) {
  out.fill(nullptr);
  if (nargs > signature.positional) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (signature.required_positional != signature.positional) {
      PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given", signature.function,
                   signature.required_positional, signature.positional, nargs, verb);
    } else {
      PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", signature.function,
                   signature.positional, nargs, verb);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    const int j = find_parameter(signature, kw_names[k]);
    if (j < 0) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", signature.function, kw_names[k]);
      return false;
    }
    if (out[j] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", signature.function,
                   interned_text(signature.names[j]));
      return false;
    }
    out[j] = kw_values[k];
  }
  return report_missing(signature, out, static_cast<int>(nargs), signature.required_positional, "positional") &&
         report_missing(signature, out, signature.positional, signature.positional + signature.required_keyword, "keyword");
}

}  // namespace

bool parse_fastcall(const ArgSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    ArgSlots& out) {
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  PyObject* const* names = nkw == 0 ? nullptr : PySequence_Fast_ITEMS(kwnames);
  return parse(signature, args, nargs, names, args + nargs, nkw, out);
}

bool parse_tuple_dict(const ArgSignature& signature, PyObject* args, PyObject* kwargs, ArgSlots& out,
                      Ref& kwargs_copy) {
  std::vector<PyObject*> names;
  std::vector<PyObject*> values;
  if (kwargs != nullptr) {
    kwargs_copy = Ref::steal(PyDict_Copy(kwargs));
    if (!kwargs_copy) return false;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs_copy.get(), &pos, &key, &value)) {
      names.push_back(key);
      values.push_back(value);
    }
  }
  return parse(signature, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), names.data(), values.data(),
               static_cast<Py_ssize_t>(names.size()), out);
}

}  // namespace brantel::py
