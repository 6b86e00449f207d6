// Module entry: PyInit_brantel_core, the exec step and the process-wide
// ModuleObjects.
#include "python/module.h"

#include "python/args.h"
#include "python/errors.h"
#include "python/graph_store.h"
#include "python/incremental_reducer.h"
#include "python/payload_descriptor.h"

#ifndef BRANTEL_VERSION
#error "BRANTEL_VERSION comes from the project version in the build"
#endif

namespace brantel::py {

namespace {

// In the order of Interned.
constexpr const char* kInternedTexts[] = {
    "name",          "inputs",     "params",      "descriptor",      "outputs",         "maximal_fusion",
    "data",          "store",      "kind",        "content_hash",    "framework",       "version",
    "io_schema",     "preprocessing_ref",         "id",              "output",          "n_members",
    "members",       "source",     "op",          "reduction",       "external",        "stage",
    "exchange",      "join",       "input",       "member",          "input_nodes",     "reachable_nodes",
    "canonical_nodes",            "stages",      "reduced_nodes",   "boundary_nodes",
};
static_assert(std::size(kInternedTexts) == kInternedCount, "one text per interned name");

ModuleObjects g_objects;
bool g_objects_ready = false;
PyMutex g_objects_mutex;

// Made once per process; a failure leaves nothing half-published, so a later
// import may try again.
bool create_objects() {
  ModuleObjects made;
  for (std::size_t i = 0; i < kInternedCount; ++i) {
    made.interned[i] = PyUnicode_InternFromString(kInternedTexts[i]);
    if (made.interned[i] == nullptr) return false;
  }
  made.panic_exception = PyErr_NewExceptionWithDoc(
      "brantel_core.PanicException",
      "An internal invariant of brantel_core was violated. Derives from BaseException, so\n"
      "`except Exception` does not catch it; the call that raised it was aborted.",
      PyExc_BaseException, nullptr);
  if (made.panic_exception == nullptr) return false;
  // The types look up module_objects() only when called, after publication.
  made.graph_store_type = reinterpret_cast<PyTypeObject*>(create_graph_store_type());
  made.payload_descriptor_type = reinterpret_cast<PyTypeObject*>(create_payload_descriptor_type());
  made.incremental_reducer_type = reinterpret_cast<PyTypeObject*>(create_incremental_reducer_type());
  if (made.graph_store_type == nullptr || made.payload_descriptor_type == nullptr ||
      made.incremental_reducer_type == nullptr) {
    return false;
  }
  g_objects = made;
  return true;
}

bool ensure_objects() {
  PyMutex_Lock(&g_objects_mutex);
  if (!g_objects_ready) g_objects_ready = create_objects();
  const bool ready = g_objects_ready;
  PyMutex_Unlock(&g_objects_mutex);
  return ready;
}

constexpr ArgSignature kVersionSignature{"version()", {}, 0, 0, 0, 0};

PyObject* version(PyObject*, PyObject* const*) { return PyUnicode_FromString(BRANTEL_VERSION); }

PyMethodDef kFunctions[] = {
    method_def<kVersionSignature, version>("version", "version()\n--\n\nThe version of brantel_core."),
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  return entry([&]() -> int {
    if (!ensure_objects()) return -1;
    const ModuleObjects& o = g_objects;
    // In this order: the module's attributes keep it.
    const bool added =
        PyModule_AddObjectRef(module, "GraphStore", reinterpret_cast<PyObject*>(o.graph_store_type)) == 0 &&
        PyModule_AddObjectRef(module, "PayloadDescriptor", reinterpret_cast<PyObject*>(o.payload_descriptor_type)) == 0 &&
        PyModule_AddObjectRef(module, "IncrementalReducer", reinterpret_cast<PyObject*>(o.incremental_reducer_type)) == 0 &&
        PyModule_AddFunctions(module, kFunctions) == 0 &&
        PyModule_AddObjectRef(module, "PanicException", o.panic_exception) == 0;
    return added ? 0 : -1;
  });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // ModuleObjects are process-wide, so one interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    // Every piece of mutable state is behind the core's own locks.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kModule{
    PyModuleDef_HEAD_INIT, "brantel_core", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

const char* interned_text(Interned name) noexcept { return kInternedTexts[static_cast<std::size_t>(name)]; }

const ModuleObjects& module_objects() noexcept { return g_objects; }

}  // namespace brantel::py

PyMODINIT_FUNC PyInit_brantel_core() { return PyModuleDef_Init(&brantel::py::kModule); }
