// The one argument parser: every method and constructor describes its parameters
// in an ArgSignature, and the TypeErrors for missing, surplus, duplicated and unknown
// arguments are built here, from one set of templates.
//
// Parameters are laid out as Python writes them: positional-or-keyword ones
// first (the leading `required_positional` of them required), then keyword-only
// ones (the leading `required_keyword` of them required).
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

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

// The arguments in parameter order, or nullptr with a TypeError set. A call
// that passes every parameter by position, as adds usually do, is read in place
// from the caller's array; any other is parsed into `slots`.
[[nodiscard]] inline PyObject* const* arguments(const ArgSignature& signature, PyObject* const* args,
                                                Py_ssize_t nargs, PyObject* kwnames, ArgSlots& slots) {
  if (kwnames == nullptr && nargs == signature.count && signature.positional == signature.count) return args;
  return parse_fastcall(signature, args, nargs, kwnames, slots) ? slots.data() : nullptr;
}

// tp_new calling convention. Keyword values are copied into `keep`, so the slots
// stay valid even if the caller's kwargs dict is changed meanwhile.
[[nodiscard]] bool parse_tuple_dict(const ArgSignature& signature, PyObject* args, PyObject* kwargs, ArgSlots& out,
                                    std::array<Ref, kMaxArgs>& keep);

}  // namespace brantel::py
