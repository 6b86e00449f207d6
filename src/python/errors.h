// The Python boundary for errors.
//
// Every function whose address goes into a PyMethodDef or a type slot runs its
// body inside py::entry. entry catches the core's InternalError, writes a short
// report to stderr and raises PanicException, and turns an allocation failure
// (std::bad_alloc, or std::length_error from a size no container can hold) into
// MemoryError, so no C++ exception ever unwinds through interpreter frames.
//
// Neither entry nor the functions around it are noexcept: when the interpreter
// ends a daemon thread at exit, the thread's re-attach calls pthread_exit, whose
// forced unwind (abi::__forced_unwind) has to pass through our frames to the
// thread's start. A noexcept frame on its way would call std::terminate instead.
// For the same reason a catch (...) in this module rethrows what it caught.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string_view>
#include <type_traits>

#include "python/py_ref.h"
#include "store/graph/store_error.h"
#include "support/check.h"

namespace brantel::py {

// Reports `error` on stderr and raises it as PanicException.
void raise_panic(const support::InternalError& error) noexcept;

template <typename Body>
auto entry(Body&& body) -> decltype(body()) {
  using R = decltype(body());
  static_assert(std::is_same_v<R, PyObject*> || std::is_same_v<R, int>,
                "entry serves functions that return an object or a status");
  WaitHookScope hook;
  try {
    return body();
  } catch (const support::InternalError& error) {
    raise_panic(error);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  }
  if constexpr (std::is_same_v<R, int>) {
    return -1;
  } else {
    return nullptr;
  }
}

// Each raise_* sets the error and returns nullptr, so a caller can write
// `return raise_value_error(...)`.
PyObject* raise_value_error(std::string_view message);
inline PyObject* raise_store_error(const store::StoreError& e) { return raise_value_error(describe(e)); }

// "'{}' object is not an instance of '{}'", or "'None' is not an instance of '{}'".
void set_type_mismatch(PyObject* value, const char* expected);

// Replaces a pending TypeError (exactly TypeError, not a subclass) by
// "argument '{}': {}"; errors of other types pass unchanged.
void wrap_argument_error(const char* parameter);

}  // namespace brantel::py
