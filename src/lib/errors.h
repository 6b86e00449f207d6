// The Python boundary for errors.
//
// Every function whose address goes into a PyMethodDef or a type slot is
// noexcept and runs its body inside py::entry. entry catches the core's
// InternalError, writes a short report to stderr and raises PanicException, so no
// C++ exception ever unwinds through interpreter frames. Anything else that
// escapes (in practice std::bad_alloc) hits noexcept and ends the process, the
// documented behaviour on memory exhaustion.
#pragma once

#include <Python.h>

#include <string_view>
#include <type_traits>

#include "lib/py_ref.h"
#include "store/graph/store_error.h"
#include "support/check.h"

namespace brantel::py {

// Reports `error` on stderr and raises it as PanicException.
void raise_panic(const support::InternalError& error) noexcept;

template <typename Body>
auto entry(Body&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  static_assert(std::is_same_v<R, PyObject*> || std::is_same_v<R, int>,
                "entry serves functions that return an object or a status");
  WaitHookScope hook;
  try {
    return body();
  } catch (const support::InternalError& error) {
    raise_panic(error);
    if constexpr (std::is_same_v<R, PyObject*>) {
      return nullptr;
    } else {
      return -1;
    }
  }
}

// Each raise_* sets the error and returns nullptr, so a caller can write
// `return raise_value_error(...)`.
PyObject* raise_value_error(std::string_view message);
PyObject* raise_type_error(std::string_view message);
inline PyObject* raise_store_error(const store::StoreError& e) { return raise_value_error(describe(e)); }

// "'{}' object is not an instance of '{}'", or "'None' is not an instance of '{}'".
void set_type_mismatch(PyObject* value, const char* expected);

// Replaces a pending TypeError (exactly TypeError, not a subclass) by
// "argument '{}': {}"; errors of other types pass unchanged.
void wrap_argument_error(const char* parameter);

}  // namespace brantel::py
