// PyMethodDef entries for our METH_FASTCALL | METH_KEYWORDS functions.
#pragma once

#include <Python.h>

namespace brantel::py {

using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The method table stores every function as a PyCFunction; the flags tell the
// interpreter the real signature. The detour through void(*)() keeps the
// compiler from warning about the cast between function types.
inline PyCFunction fastcall(FastcallFunction f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace brantel::py
