// GraphStore.serialize and GraphStore.deserialize: the IR blob.
#include <optional>
#include <vector>

#include "lib/args.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/graph_store.h"
#include "lib/method.h"
#include "store/blob/blob.h"

namespace brantel::py {

namespace {

// Below this many bytes encoding or decoding takes microseconds, less than the
// cost of detaching and re-attaching.
constexpr std::size_t kDetachBytes = 64 * 1024;

constexpr ArgSignature kSerializeSignature{"GraphStore.serialize()", {Interned::kOutputs}, 1, 1, 0, 0};
constexpr ArgSignature kDeserializeSignature{"GraphStore.deserialize()", {Interned::kData}, 1, 1, 1, 0};

PyObject* graph_store_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return entry([&]() -> PyObject* {
    ArgSlots a;
    if (!parse_fastcall(kSerializeSignature, args, nargs, kwnames, a)) return nullptr;
    std::optional<std::vector<store::NodeId>> outputs;
    if (!convert_outputs(a[0], outputs)) return nullptr;
    const store::GraphStore& source = *graph_store_of(self);
    store::Snapshot copy;
    if (outputs) {
      // Nothing is copied or written for a bad id.
      if (!check_outputs(*outputs, source.node_count())) return nullptr;
      copy.nodes = source.nodes();
      copy.outputs = std::move(*outputs);
    } else {
      copy = source.snapshot();
    }
    std::optional<support::Result<std::string, blob::EncodeError>> encoded;
    {
      Detached detached(copy.nodes.bytes().size() >= kDetachBytes);
      encoded.emplace(blob::encode_blob(copy.nodes, copy.outputs));
    }
    if (const blob::EncodeError* e = encoded->error()) return raise_value_error(e->message);
    const std::string& bytes = **encoded;
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  });
}

PyObject* graph_store_deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return entry([&]() -> PyObject* {
    ArgSlots a;
    if (!parse_fastcall(kDeserializeSignature, args, nargs, kwnames, a)) return nullptr;
    std::string_view data;
    if (!convert_bytes(a[0], "data", data)) return nullptr;
    // The bytes object is immutable and the caller holds it for the whole call,
    // so it can be read in place while detached.
    std::optional<support::Result<std::unique_ptr<store::GraphStore>, blob::BlobError>> decoded;
    {
      Detached detached(data.size() >= kDetachBytes);
      decoded.emplace(blob::decode_blob(data));
    }
    if (const blob::BlobError* e = decoded->error()) return raise_value_error(blob::describe(*e));
    return wrap_graph_store(std::move(**decoded));
  });
}

const PyMethodDef kMethods[] = {
    {"serialize", fastcall(graph_store_serialize), METH_FASTCALL | METH_KEYWORDS,
     "serialize($self, outputs=None)\n--\n\n"
     "The canonical IR blob (bytes starting with b\"BIR1\"). The output section lists the stored\n"
     "output marks, or exactly the given outputs in their order."},
    {"deserialize", fastcall(graph_store_deserialize), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "deserialize(data)\n--\n\n"
     "A new GraphStore rebuilt from an IR blob; the ids of a blob written by serialize() are kept."},
};

}  // namespace

std::span<const PyMethodDef> graph_store_blob_methods() { return kMethods; }

}  // namespace brantel::py
