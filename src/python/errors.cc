#include "python/errors.h"

#include <cstdio>
#include <string>

#include "python/module.h"

namespace brantel::py {

namespace {

// The path from the source root on, which is what a reader of the report needs.
std::string_view short_path(std::string_view path) {
  const std::size_t at = path.rfind("src/");
  return at == std::string_view::npos ? path : path.substr(at);
}

PyObject* raise_with_message(PyObject* type, std::string_view message) {
  if (Ref text = str_of(message)) PyErr_SetObject(type, text.get());
  return nullptr;
}

}  // namespace

void raise_panic(const support::InternalError& error) noexcept {
  const std::string_view message = error.what();
  const std::string_view file = short_path(error.where().file_name());
  // Written to the process's stderr directly: no Python code may run here, and the
  // report must survive a replaced or closed sys.stderr.
  std::fprintf(stderr, "brantel_core: internal error at %.*s:%u: %.*s\n", static_cast<int>(file.size()),
               file.data(), static_cast<unsigned>(error.where().line()), static_cast<int>(message.size()),
               message.data());
  std::fflush(stderr);
  raise_with_message(module_objects().panic_exception, message);
}

PyObject* raise_value_error(std::string_view message) { return raise_with_message(PyExc_ValueError, message); }

void set_type_mismatch(PyObject* value, const char* expected) {
  if (value == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(value)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

void wrap_argument_error(const char* parameter) {
  Ref original = Ref::steal(PyErr_GetRaisedException());
  if (!original) return;
  if (!Py_IS_TYPE(original.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(original.release());
    return;
  }
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", parameter, original.get()));
  if (!message) return;
  Ref wrapped = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!wrapped) return;
  // Keep the chain the original carried, as a re-raise of the same failure would.
  if (PyObject* cause = PyException_GetCause(original.get())) PyException_SetCause(wrapped.get(), cause);
  PyErr_SetRaisedException(wrapped.release());
}

}  // namespace brantel::py
