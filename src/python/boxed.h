// A Python object that owns one C++ value: the three classes are all of this
// shape, so they share one way to build, reach and free it.
#pragma once

#include <Python.h>

#include <memory>
#include <utility>

#include "python/py_ref.h"

namespace brantel::py {

template <typename T>
struct Boxed {
  PyObject_HEAD
  T value;
};

template <typename T>
T& unbox(PyObject* self) noexcept {
  return reinterpret_cast<Boxed<T>*>(self)->value;
}

// A new instance of `type` holding `value`, or nullptr with an error set.
template <typename T>
PyObject* box(PyTypeObject* type, T value) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  std::construct_at(&unbox<T>(self.get()), std::move(value));
  return self.release();
}

template <typename T>
void dealloc_boxed(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&unbox<T>(self));
  type->tp_free(self);
  Py_DECREF(type);  // heap types are referenced by their instances
}

// The description of an immutable heap type whose instances are Boxed<T>.
template <typename T>
PyType_Spec boxed_type_description(const char* name, PyType_Slot* slots) {
  return {name, static_cast<int>(sizeof(Boxed<T>)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
          slots};
}

}  // namespace brantel::py
