// The node model: the seven node kinds, their parameters and descriptors, and the
// equality that decides when two nodes are one node.
//
// `Node` is the owning value form, used wherever nodes are built or rebuilt field
// by field. Stores keep nodes in their encoded record form instead (record.h); the
// two agree: equal nodes encode to records that compare equal, and back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "support/hash.h"

namespace brantel::store {

using NodeId = std::uint64_t;

// The position is the wire tag of the blob and the order of kinds everywhere.
enum class NodeKind : std::uint8_t {
  kSource = 0,
  kOp = 1,
  kReduction = 2,
  kExternal = 3,
  kStage = 4,
  kExchange = 5,
  kJoin = 6,
};
static_assert(static_cast<int>(NodeKind::kJoin) == 6, "node kind tags are wire values");
inline constexpr std::uint8_t kNodeKindCount = 7;

// The alternative index of ParamValue is its wire tag.
enum class ParamTag : std::uint8_t { kInt = 0, kFloat = 1, kBool = 2, kStr = 3 };
static_assert(static_cast<int>(ParamTag::kStr) == 3, "param tags are wire values");

inline constexpr std::uint64_t kCanonicalNan = 0x7ff8000000000000ULL;

// Every NaN counts as one value; all other bit patterns (including -0.0) are
// distinct.
constexpr std::uint64_t canonical_float_bits(std::uint64_t bits) noexcept {
  const bool is_nan = (bits & 0x7ff0000000000000ULL) == 0x7ff0000000000000ULL &&
                      (bits & 0x000fffffffffffffULL) != 0;
  return is_nan ? kCanonicalNan : bits;
}

// A NaN whose bits are not the canonical NaN's: the same value, so a record that
// holds one must be canonicalised before it is hashed.
constexpr bool is_noncanonical_nan(std::uint64_t bits) noexcept {
  return bits != kCanonicalNan && canonical_float_bits(bits) == kCanonicalNan;
}

// A float parameter keeps its exact bits (NaN payloads and the sign of zero
// survive a round trip) but compares by canonical bits.
struct FloatBits {
  std::uint64_t bits = 0;
  friend bool operator==(FloatBits a, FloatBits b) noexcept {
    return canonical_float_bits(a.bits) == canonical_float_bits(b.bits);
  }
};

FloatBits float_bits_of(double value) noexcept;
double float_value(FloatBits f) noexcept;

// Alternatives in wire-tag order: Int, Float, Bool, Str. Values of different
// alternatives never compare equal (Int 1, Float 1.0 and Bool true are three values).
using ParamValue = std::variant<std::int64_t, FloatBits, bool, std::string>;

inline ParamTag tag_of(const ParamValue& v) noexcept { return static_cast<ParamTag>(v.index()); }

struct ParamEntry {
  std::string key;
  ParamValue value;
  friend bool operator==(const ParamEntry&, const ParamEntry&) = default;
};

// Invariant: sorted ascending by key bytes (a proper prefix first).
using ParamMap = std::vector<ParamEntry>;

// Stable, so entries with equal keys (possible only from a blob) keep their order.
void sort_params(ParamMap& params);

struct PayloadDescriptor {
  std::string kind;
  std::string content_hash;
  std::string framework;
  std::string version;
  std::string io_schema;
  std::optional<std::string> preprocessing_ref;  // absent differs from ""
  friend bool operator==(const PayloadDescriptor&, const PayloadDescriptor&) = default;
};

enum class RefKind : std::uint8_t { kInput = 0, kMember = 1 };
static_assert(static_cast<int>(RefKind::kMember) == 1, "reference tags are wire values");

struct StageRef {
  RefKind kind = RefKind::kInput;
  std::uint64_t index = 0;
  friend bool operator==(const StageRef&, const StageRef&) = default;
};

struct StageMember {
  std::string label;
  std::vector<StageRef> args;
  friend bool operator==(const StageMember&, const StageMember&) = default;
};

// A tagged record; fields a kind does not have stay empty, so the defaulted
// equality compares exactly the kind's own fields.
struct Node {
  NodeKind kind = NodeKind::kSource;
  std::string name;                  // Source, Op, Reduction
  ParamMap params;                   // every kind but Stage
  std::vector<NodeId> inputs;        // every kind but Source
  PayloadDescriptor descriptor;      // External
  std::vector<StageMember> members;  // Stage

  static Node source(std::string name, ParamMap params = {});
  static Node op(std::string name, std::vector<NodeId> inputs, ParamMap params = {});
  static Node reduction(std::string name, std::vector<NodeId> inputs, ParamMap params = {});
  static Node external(PayloadDescriptor descriptor, std::vector<NodeId> inputs,
                       ParamMap params = {});
  static Node stage(std::vector<NodeId> inputs, std::vector<StageMember> members);
  static Node exchange(std::vector<NodeId> inputs, ParamMap params = {});
  static Node join(std::vector<NodeId> inputs, ParamMap params = {});

  friend bool operator==(const Node&, const Node&) = default;
};

// Feeds exactly the fields operator== compares, floats by canonical bits.
void hash_append(support::HashState& h, const ParamValue& v);
void hash_append(support::HashState& h, const Node& node);
std::uint64_t hash_node(const Node& node, std::uint64_t seed);

}  // namespace brantel::store
