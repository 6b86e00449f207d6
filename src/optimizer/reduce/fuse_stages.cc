// Stage fusion; its phases, a worked example and its limits are in fuse_stages.h.
#include "optimizer/reduce/fuse_stages.h"

#include <string>

#include "store/model/record.h"
#include "support/check.h"

namespace brantel::reduce {

namespace {

using Index = std::uint32_t;
constexpr Index kNoIndex = 0xffffffffU;
constexpr std::uint64_t kNoPosition = ~std::uint64_t{0};

// Step 2, both rules in one sweep from the last term down. A term's consumers
// have larger indices, so when term k is examined every consumer's group is
// final, and what k needs of them was summed up as they were examined: its
// consumer entries (`uses`) and the one group they all share, or kNoIndex when
// they differ or one is opaque (`consumer_group`). A term that stays apart is its
// own group, so a group's id is its largest member. Single-use is the maximal
// rule restricted to one consumer entry, so it yields the same partition as
// uniting each op with its only consumer.
std::vector<Index> group_terms(std::span<const engine::EngineTerm> terms,
                               const std::vector<std::uint8_t>& is_root, bool maximal_fusion) {
  const std::size_t n = terms.size();
  std::vector<Index> group(n);
  std::vector<Index> uses(n, 0);
  std::vector<Index> consumer_group(n, kNoIndex);
  for (std::size_t k = n; k-- > 0;) {
    const engine::EngineTerm& term = terms[k];
    // consumer_group is kNoIndex too for a term nothing consumes.
    const bool joins =
        !term.is_opaque && !is_root[k] && consumer_group[k] != kNoIndex && (maximal_fusion || uses[k] == 1);
    group[k] = joins ? consumer_group[k] : static_cast<Index>(k);
    const Index seen = term.is_opaque ? kNoIndex : group[k];
    for (const std::uint64_t c : term.children) {
      BRANTEL_CHECK(c < k, "canonical terms refer only to earlier terms");
      BRANTEL_CHECK(uses[c] < kNoIndex, "edge count fits the reduction's tables");
      consumer_group[c] = (uses[c]++ == 0 || consumer_group[c] == seen) ? seen : kNoIndex;
    }
  }
  return group;
}

// Writes the canonical Stage record (the layout encode_node writes) straight
// into its buffer, without building a Node: a million-member stage would
// otherwise cost two allocations per member. The input list comes first in the
// record, so the caller collects the slots before writing any member.
class StageRecordWriter {
 public:
  StageRecordWriter(std::string& out, std::span<const store::NodeId> inputs, std::size_t member_count)
      : w_(out) {
    BRANTEL_CHECK(member_count <= store::kU32Max, "member list fits the record's u32 count");
    w_.u8(static_cast<std::uint8_t>(store::NodeKind::kStage));
    w_.ids(inputs);
    w_.u32(static_cast<std::uint32_t>(member_count));
  }
  void member(std::string_view label, std::size_t argc) {
    BRANTEL_CHECK(argc <= store::kU32Max, "argument list fits the record's u32 count");
    w_.str(label);
    w_.u32(static_cast<std::uint32_t>(argc));
  }
  void arg(store::RefKind kind, std::uint64_t index) {
    BRANTEL_CHECK(index <= store::kU32Max, "stage reference index fits u32");
    w_.u8(static_cast<std::uint8_t>(kind));
    w_.u32(static_cast<std::uint32_t>(index));
  }

 private:
  store::RecordWriter w_;
};

}  // namespace

FusionResult fuse_stages(std::span<const engine::EngineTerm> terms,
                         std::span<const std::uint64_t> roots, const TemplateTable& templates,
                         bool maximal_fusion) {
  const std::size_t n = terms.size();
  BRANTEL_CHECK(n < kNoIndex, "term count fits the reduction's tables");

  std::vector<std::uint8_t> is_root(n, 0);
  for (const std::uint64_t r : roots) support::at_checked(is_root, r) = 1;
  const std::vector<Index> group = group_terms(terms, is_root, maximal_fusion);

  // Each group's members as a list in ascending order: first_member by group id,
  // next_member by term.
  std::vector<Index> first_member(n, kNoIndex);
  std::vector<Index> next_member(n);
  for (std::size_t t = n; t-- > 0;) {
    next_member[t] = first_member[group[t]];
    first_member[group[t]] = static_cast<Index>(t);
  }

  FusionResult out;
  out.placements.resize(n);
  {
    // A size estimate, so the emitted records never regrow (and recopy) their
    // buffer: a member costs its label, two u32 and 5 bytes per argument; a
    // boundary node about its label (term labels are at least as long as the
    // record's fixed fields, or twice them for hex keys) and 8 bytes per input.
    std::size_t bytes = 0;
    for (const engine::EngineTerm& t : terms) bytes += t.label.size() + 13 * t.children.size() + 16;
    out.nodes.reserve(n, bytes);
  }
  std::vector<std::uint64_t> pos(n, kNoPosition);  // by group id
  auto position_of = [&](std::uint64_t term) {
    const std::uint64_t p = pos[group[term]];
    if (p == kNoPosition) support::panic("no entry found for key");
    return p;
  };

  // Per stage: each member's number, and the slot of each outside group; the
  // stamps (the current group id) make resetting them between stages free.
  std::vector<Index> member_no(n, 0);
  std::vector<Index> slot_stamp(n, kNoIndex);
  std::vector<Index> slot_of(n, 0);
  std::vector<store::NodeId> inputs;
  std::string record;

  // A group's id is its largest member, so visiting each group at its id walks
  // the groups in ascending order of largest member.
  for (std::size_t t = 0; t < n; ++t) {
    const Index g = group[t];
    if (g != t) continue;
    const std::uint64_t p = out.nodes.size();
    const engine::EngineTerm& term = terms[t];
    inputs.clear();
    record.clear();
    if (term.is_opaque) {
      const std::optional<std::string_view> tmpl = templates.find(term.label);
      if (!tmpl) support::panic("no entry found for key");
      const store::NodeView view = store::NodeView::parse(*tmpl);
      // A Source has no input list; a term claiming children for one would
      // silently lose them.
      BRANTEL_CHECK(view.kind() != store::NodeKind::kSource || term.children.empty(),
                    "a source term has no children");
      for (const std::uint64_t c : term.children) inputs.push_back(position_of(c));
      store::encode_with_inputs(view, inputs, record);
      out.placements[t] = store::Placement{p, std::nullopt};
      ++out.boundary_nodes;
    } else {
      // Pass 1: number the members and give each outside group a slot, in
      // first-use order.
      std::size_t count = 0;
      for (Index x = first_member[g]; x != kNoIndex; x = next_member[x], ++count) {
        BRANTEL_CHECK(!terms[x].is_opaque, "a stage group holds only op terms");
        member_no[x] = static_cast<Index>(count);
        for (const std::uint64_t c : terms[x].children) {
          const Index gc = group[c];
          if (gc == g || slot_stamp[gc] == g) continue;
          slot_stamp[gc] = g;
          slot_of[gc] = static_cast<Index>(inputs.size());
          inputs.push_back(position_of(c));
        }
        out.placements[x] = store::Placement{p, count};
      }
      // Pass 2: the record. A child inside the group is an earlier member (its
      // index is smaller), so it was numbered in pass 1.
      StageRecordWriter stage(record, inputs, count);
      for (Index x = first_member[g]; x != kNoIndex; x = next_member[x]) {
        stage.member(terms[x].label, terms[x].children.size());
        for (const std::uint64_t c : terms[x].children) {
          if (group[c] == g) {
            stage.arg(store::RefKind::kMember, member_no[c]);
          } else {
            stage.arg(store::RefKind::kInput, slot_of[group[c]]);
          }
        }
      }
      ++out.stages;
    }
    out.nodes.append_record(record);
    pos[g] = p;
  }

  out.outputs.reserve(roots.size());
  for (const std::uint64_t r : roots) out.outputs.push_back(position_of(r));
  return out;
}

}  // namespace brantel::reduce
