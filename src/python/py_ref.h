// RAII for the interpreter's resources: strong references, per-object critical
// sections and detaching from the interpreter.
//
// One source serves the regular and the free-threaded build: on the regular
// build a critical section and a detach compile to nothing, because there the
// GIL already serialises every object access and no method ever releases it.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "support/mutex.h"

namespace brantel::py {

// A move-only strong reference. Ownership is named where an object is obtained:
// Ref::steal for a new reference, Ref::borrow to take one of our own.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* object) noexcept {
    Ref r;
    r.object_ = object;
    return r;
  }
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return steal(object);
  }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() {
#ifdef Py_GIL_DISABLED
    // A daemon thread the interpreter ends at exit unwinds with no thread state
    // (see run_detached); what it held is left to the exiting process, since no
    // object may be freed without one.
    if (object_ != nullptr && PyThreadState_GetUnchecked() == nullptr) return;
#endif
    Py_XDECREF(object_);
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller, in the return that gives it to the interpreter.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_ = nullptr;
};

// A str from UTF-8 this module holds: stored strings came from Python str
// objects or from a validated blob, and messages are written here.
inline Ref str_of(std::string_view text) {
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Locks one Python object (a dict or list we read) on the free-threaded build.
// A core lock wait must never detach inside a section (detaching suspends it), so
// the wait hook is switched off for the section's length.
class CriticalSection {
 public:
  // Not noexcept: a contended section parks the thread, and its re-attach may end it.
  explicit CriticalSection(PyObject* object) {
#ifdef Py_GIL_DISABLED
    saved_hook_ = std::exchange(support::current_wait_hook, nullptr);
    PyCriticalSection_Begin(&section_, object);
#else
    (void)object;
#endif
  }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  ~CriticalSection() {
#ifdef Py_GIL_DISABLED
    PyCriticalSection_End(&section_);
    support::current_wait_hook = saved_hook_;
#endif
  }

 private:
#ifdef Py_GIL_DISABLED
  support::WaitHook* saved_hook_ = nullptr;
  PyCriticalSection section_;
#endif
};

// Runs `body` detached from the interpreter, for long work on private copies (a
// reduction, a large blob) on the free-threaded build; `when` false runs it
// attached. Nothing in the body may touch a Python object. The wait hook is off
// meanwhile: the thread is already detached, and detaching twice is fatal.
//
// A function rather than a guard whose destructor re-attaches: re-attaching is
// where the interpreter ends a daemon thread at exit, by a forced unwind, and a
// destructor (noexcept, or running while an exception unwinds) cannot let that
// through. Here the body's exception is held while the thread re-attaches, in
// plain code, and rethrown after.
template <typename Body>
auto run_detached(bool when, Body&& body) -> decltype(body()) {
#ifdef Py_GIL_DISABLED
  if (!when) return body();
  using R = decltype(body());
  support::WaitHook* saved_hook = std::exchange(support::current_wait_hook, nullptr);
  PyThreadState* state = PyEval_SaveThread();
  std::optional<std::conditional_t<std::is_void_v<R>, char, R>> result;
  std::exception_ptr failure;
  try {
    if constexpr (std::is_void_v<R>) {
      body();
      result.emplace();
    } else {
      result.emplace(body());
    }
  } catch (abi::__forced_unwind&) {
    throw;  // never raised while detached; rethrown, as every catch-all here must
  } catch (...) {
    failure = std::current_exception();
  }
  support::current_wait_hook = saved_hook;
  PyEval_RestoreThread(state);
  if (failure) std::rethrow_exception(failure);
  if constexpr (!std::is_void_v<R>) return std::move(*result);
#else
  (void)when;
  return body();
#endif
}

#ifdef Py_GIL_DISABLED
// While a core lock has to wait, the thread detaches, so that a thread parked on
// our lock never holds up a stop-the-world pause of the interpreter.
class DetachingWaitHook final : public support::WaitHook {
 public:
  constexpr DetachingWaitHook() = default;
  void before_wait() noexcept override { state_ = PyEval_SaveThread(); }
  // May end the thread (see run_detached), so not noexcept.
  void after_wait() override { PyEval_RestoreThread(std::exchange(state_, nullptr)); }

 private:
  PyThreadState* state_ = nullptr;
};

inline constinit thread_local DetachingWaitHook t_detaching_wait_hook;
#endif

// Installs the detaching hook for the length of one call into the module.
class WaitHookScope {
 public:
  WaitHookScope() noexcept {
#ifdef Py_GIL_DISABLED
    saved_ = std::exchange(support::current_wait_hook, &t_detaching_wait_hook);
#endif
  }
  WaitHookScope(const WaitHookScope&) = delete;
  WaitHookScope& operator=(const WaitHookScope&) = delete;
  ~WaitHookScope() {
#ifdef Py_GIL_DISABLED
    support::current_wait_hook = saved_;
#endif
  }

 private:
#ifdef Py_GIL_DISABLED
  support::WaitHook* saved_ = nullptr;
#endif
};

}  // namespace brantel::py
