// RAII for the interpreter's resources: strong references, per-object critical
// sections and detaching from the interpreter.
//
// One source serves the regular and the free-threaded build: on the regular
// build a critical section and a detach compile to nothing, because there the
// GIL already serialises every object access and no method ever releases it.
#pragma once

#include <Python.h>

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
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller, in the return that gives it to the interpreter.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_ = nullptr;
};

// Locks one Python object (a dict or list we read) on the free-threaded build.
// A core lock wait must never detach inside a section (detaching suspends it), so
// the wait hook is switched off for the section's length.
class CriticalSection {
 public:
  explicit CriticalSection(PyObject* object) noexcept {
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

// Detaches the thread from the interpreter for long work on private copies (a
// reduction, a large blob) on the free-threaded build. Nothing in its scope may
// touch a Python object. The wait hook is off meanwhile: the thread is already
// detached, and detaching twice is fatal.
class Detached {
 public:
  explicit Detached(bool when = true) noexcept {
#ifdef Py_GIL_DISABLED
    if (when) {
      saved_hook_ = std::exchange(support::current_wait_hook, nullptr);
      state_ = PyEval_SaveThread();
    }
#else
    (void)when;
#endif
  }
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;
  ~Detached() {
#ifdef Py_GIL_DISABLED
    if (state_ != nullptr) {
      PyEval_RestoreThread(state_);
      support::current_wait_hook = saved_hook_;
    }
#endif
  }

 private:
#ifdef Py_GIL_DISABLED
  PyThreadState* state_ = nullptr;
  support::WaitHook* saved_hook_ = nullptr;
#endif
};

#ifdef Py_GIL_DISABLED
// While a core lock has to wait, the thread detaches, so that a thread parked on
// our lock never holds up a stop-the-world pause of the interpreter.
class DetachingWaitHook final : public support::WaitHook {
 public:
  constexpr DetachingWaitHook() = default;
  void before_wait() noexcept override { state_ = PyEval_SaveThread(); }
  void after_wait() noexcept override { PyEval_RestoreThread(std::exchange(state_, nullptr)); }

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
