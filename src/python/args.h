// The one argument parser and the method shims built on it.
//
// Every method and constructor describes its parameters in an ArgSignature; the
// TypeErrors for missing, surplus, duplicated and unknown arguments are built
// here, from one set of templates. Each method is then a shim that converts the
// parsed slots into C++ values and calls a typed implementation, the split
// CPython's Argument Clinic makes.
//
// Parameters are laid out as Python writes them: positional-or-keyword ones
// first (the leading `required_positional` of them required), then keyword-only
// ones (the leading `required_keyword` of them required).
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <memory>

#include "python/boxed.h"
#include "python/errors.h"
#include "python/module.h"
#include "python/py_ref.h"

namespace brantel::py {

inline constexpr std::size_t kMaxArgs = 6;

struct ArgSignature {
  const char* function;  // "GraphStore.add_op()": the name the messages use
  std::array<Interned, kMaxArgs> names;
  std::uint8_t count;
  std::uint8_t positional;
  std::uint8_t required_positional;
  std::uint8_t required_keyword;
};

// Borrowed argument objects in parameter order; nullptr for an omitted one.
using ArgSlots = std::array<PyObject*, kMaxArgs>;

// METH_FASTCALL | METH_KEYWORDS calling convention. On failure a TypeError is set.
[[nodiscard]] bool parse_fastcall(const ArgSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, ArgSlots& out);

// tp_new calling convention. The keyword slots point into `kwargs_copy`, a
// private copy, so they stay valid even if the caller's kwargs dict is changed
// meanwhile.
[[nodiscard]] bool parse_tuple_dict(const ArgSignature& signature, PyObject* args, PyObject* kwargs, ArgSlots& out,
                                    Ref& kwargs_copy);

// tp_new of a class that takes no arguments and owns a new T.
template <const ArgSignature& kSignature, typename T>
PyObject* new_owning(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    ArgSlots slots;
    Ref kwargs_copy;
    if (!parse_tuple_dict(kSignature, args, kwargs, slots, kwargs_copy)) return nullptr;
    return box(type, std::make_unique<T>());
  });
}

// A method's shim: `self` and the arguments in parameter order (nullptr for an
// omitted one) in, a new reference or nullptr with an error set out.
using Shim = PyObject* (*)(PyObject* self, PyObject* const* args);

// The function the method table holds: parses against kSignature inside the
// module's entry wrapper, then runs kShim.
template <const ArgSignature& kSignature, Shim kShim>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    ArgSlots slots;
    if (!parse_fastcall(kSignature, args, nargs, kwnames, slots)) return nullptr;
    return kShim(self, slots.data());
  });
}

// A PyMethodDef entry for method<kSignature, kShim>. The table stores every
// function as a PyCFunction and the flags tell the interpreter the real
// signature; the detour through void(*)() keeps the compiler from warning about
// the cast between function types.
template <const ArgSignature& kSignature, Shim kShim>
constexpr PyMethodDef method_def(const char* name, const char* doc, int extra_flags = 0) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method<kSignature, kShim>)),
          METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

}  // namespace brantel::py
