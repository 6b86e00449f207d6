// Record-level recognisers for the two rewrite rules the incremental reducer applies
// node by node: identity elimination and commutativity dedup.
//
// What they compute: whether one encoded node record is an identity op (adding
// +0.0 or multiplying by 1.0, on either side) or a commutable binary op, decided
// from the record bytes alone.
//
// Phases: none; each call is a length check and at most a few memcmps.
//
// Worked example: the Op add {scalar: 0.0, side: "r"} on [x] has the label
// "op|add|scalar=f0000000000000000;side=sr". Its record starts with the bytes
// tag, "add", and the two params; those bytes, up to the input list, are compared
// with the same prefix of the node parsed back from the engine's identity label.
// Equal prefixes hold exactly when the labels are equal: escaping is injective and
// leaves "add", "mul", "scalar", "side", "r" and "l" unchanged; the float token
// names the canonical bits, and only bits 0 and 0x3ff0000000000000 canonicalise
// to those values; a record's params are in the one sorted order its label
// lists them in. So an Int scalar, -0.0, side "x" or a third param all differ in
// bytes exactly as they differ in label.
//
// Non-goals: the input count is not examined by is_identity_op (only the label
// decides, as in the engine's vocabulary); the caller folds only identity ops
// with exactly one input.
#pragma once

#include "store/model/record.h"

namespace brantel::incremental {

// True exactly when node_label(node) is one of the four identity labels.
bool is_identity_op(const store::NodeView& node);

// An Op with exactly two inputs, no params and a commutative name
// (add mul and or eq ne maximum minimum).
bool is_commutative_pair(const store::NodeView& node);

}  // namespace brantel::incremental
