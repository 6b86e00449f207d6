// ModuleObjects: every Python object the module keeps beyond one call.
//
// The module has no per-module state. The three classes, PanicException and the
// interned strings are made once per process, on the first import, and every
// later import adds the same objects to its module. That is why the module
// declares that it does not support subinterpreters.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace brantel::py {

// Interned strings: keyword names, descriptor keys and view keys. Keyword
// lookups compare by identity first, so the names the interpreter interns for
// call sites match without a string comparison.
enum class Interned : std::uint8_t {
  kName,
  kInputs,
  kParams,
  kDescriptor,
  kOutputs,
  kMaximalFusion,
  kData,
  kStore,
  kKind,
  kContentHash,
  kFramework,
  kVersion,
  kIoSchema,
  kPreprocessingRef,
  kId,
  kOutput,
  kNMembers,
  kMembers,
  // The node kinds, in NodeKind's order (views.cc relies on it).
  kSource,
  kOp,
  kReduction,
  kExternal,
  kStage,
  kExchange,
  kJoin,
  kInput,
  kMember,
  kInputNodes,
  kReachableNodes,
  kCanonicalNodes,
  kStages,
  kReducedNodes,
  kBoundaryNodes,
  kCount,
};

inline constexpr std::size_t kInternedCount = static_cast<std::size_t>(Interned::kCount);

// The UTF-8 text of an interned string, for messages and slow-path comparisons.
const char* interned_text(Interned name) noexcept;

struct ModuleObjects {
  PyTypeObject* graph_store_type = nullptr;
  PyTypeObject* payload_descriptor_type = nullptr;
  PyTypeObject* incremental_reducer_type = nullptr;
  PyObject* panic_exception = nullptr;
  std::array<PyObject*, kInternedCount> interned{};

  PyObject* str(Interned name) const noexcept { return interned[static_cast<std::size_t>(name)]; }
};

// Valid once the module has been imported; no method can run before that.
const ModuleObjects& module_objects() noexcept;

}  // namespace brantel::py
