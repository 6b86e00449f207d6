// The PayloadDescriptor class: an immutable record of six strings that is part
// of an External node's identity.
#pragma once

#include <Python.h>

#include "store/model/node.h"

namespace brantel::py {

// A new reference to the heap type, or nullptr with an error set.
PyObject* create_payload_descriptor_type();

// The record inside a PayloadDescriptor instance; nullptr for any other object.
const store::PayloadDescriptor* payload_descriptor_of(PyObject* object) noexcept;

}  // namespace brantel::py
