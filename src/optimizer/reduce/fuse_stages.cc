// Stage fusion; its phases, a worked example and its limits are in fuse_stages.h.
#include "optimizer/reduce/fuse_stages.h"

#include <numeric>
#include <string>

#include "store/model/record.h"
#include "support/check.h"

namespace brantel::reduce {

namespace {

using Index = std::uint32_t;
constexpr Index kNoIndex = 0xffffffffU;
constexpr std::uint64_t kNoPosition = ~std::uint64_t{0};

// Consumers in compressed rows: the consumers of t are
// entries[begin[t] .. begin[t + 1]), ascending, one per child slot.
struct Consumers {
  std::vector<Index> begin;
  std::vector<Index> entries;

  std::size_t count(Index t) const { return begin[t + 1] - begin[t]; }
  const Index* first(Index t) const { return entries.data() + begin[t]; }
};

Consumers build_consumers(std::span<const engine::EngineTerm> terms) {
  const std::size_t n = terms.size();
  Consumers c;
  c.begin.assign(n + 1, 0);
  std::size_t edges = 0;
  for (std::size_t t = 0; t < n; ++t) {
    for (const std::uint64_t x : terms[t].children) {
      BRANTEL_CHECK(x < t, "canonical terms refer only to earlier terms");
      ++c.begin[x + 1];
    }
    edges += terms[t].children.size();
  }
  BRANTEL_CHECK(edges < kNoIndex, "edge count fits the reduction's tables");
  std::partial_sum(c.begin.begin(), c.begin.end(), c.begin.begin());
  c.entries.resize(edges);
  std::vector<Index> fill(c.begin.begin(), c.begin.end() - 1);
  for (std::size_t t = 0; t < n; ++t) {
    for (const std::uint64_t x : terms[t].children) c.entries[fill[x]++] = static_cast<Index>(t);
  }
  return c;
}

Index find_root(std::vector<Index>& parent, Index x) {
  Index root = x;
  while (parent[root] != root) root = parent[root];
  while (parent[x] != root) {
    const Index next = parent[x];
    parent[x] = root;
    x = next;
  }
  return root;
}

std::vector<Index> group_single_use(std::span<const engine::EngineTerm> terms, const Consumers& consumers,
                                    const std::vector<std::uint8_t>& is_root) {
  const std::size_t n = terms.size();
  std::vector<Index> parent(n);
  std::iota(parent.begin(), parent.end(), Index{0});
  for (std::size_t l = 0; l < n; ++l) {
    const auto li = static_cast<Index>(l);
    if (terms[l].is_opaque || is_root[l] || consumers.count(li) != 1) continue;
    const Index m = *consumers.first(li);
    if (terms[m].is_opaque) continue;
    const Index ra = find_root(parent, li);
    const Index rb = find_root(parent, m);
    if (ra != rb) parent[std::max(ra, rb)] = std::min(ra, rb);
  }
  // An opaque term is never united, so its root is itself.
  for (std::size_t t = 0; t < n; ++t) parent[t] = find_root(parent, static_cast<Index>(t));
  return parent;
}

std::vector<Index> group_maximal(std::span<const engine::EngineTerm> terms, const Consumers& consumers,
                                 const std::vector<std::uint8_t>& is_root) {
  const std::size_t n = terms.size();
  std::vector<Index> group(n);
  std::iota(group.begin(), group.end(), Index{0});
  // Consumers have larger indices, so their groups are final when k is examined.
  for (std::size_t k = n; k-- > 0;) {
    const auto ki = static_cast<Index>(k);
    const std::size_t count = consumers.count(ki);
    if (terms[k].is_opaque || is_root[k] || count == 0) continue;
    const Index* first = consumers.first(ki);
    const Index g = group[first[0]];
    bool fuses = true;
    for (std::size_t e = 0; e < count && fuses; ++e) {
      fuses = !terms[first[e]].is_opaque && group[first[e]] == g;
    }
    if (fuses) group[k] = g;
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

  const Consumers consumers = build_consumers(terms);
  std::vector<std::uint8_t> is_root(n, 0);
  for (const std::uint64_t r : roots) support::at_checked(is_root, r) = 1;

  const std::vector<Index> group = maximal_fusion ? group_maximal(terms, consumers, is_root)
                                                  : group_single_use(terms, consumers, is_root);

  // Members per group in compressed rows (group ids are term indices), filled in
  // ascending term order, and each group's largest member.
  std::vector<Index> member_begin(n + 1, 0);
  std::vector<Index> largest(n, kNoIndex);
  for (std::size_t t = 0; t < n; ++t) {
    ++member_begin[group[t] + 1];
    largest[group[t]] = static_cast<Index>(t);
  }
  std::partial_sum(member_begin.begin(), member_begin.end(), member_begin.begin());
  std::vector<Index> members(n);
  {
    std::vector<Index> fill(member_begin.begin(), member_begin.end() - 1);
    for (std::size_t t = 0; t < n; ++t) members[fill[group[t]]++] = static_cast<Index>(t);
  }

  FusionResult out;
  out.placements.reserve(n);
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

  // Visiting each group at its largest member walks the groups in ascending
  // order of largest member.
  for (std::size_t t = 0; t < n; ++t) {
    const Index g = group[t];
    if (largest[g] != t) continue;
    const std::uint64_t p = out.nodes.size();
    const engine::EngineTerm& term = terms[t];
    if (term.is_opaque) {
      const std::optional<std::string_view> tmpl = templates.find(term.label);
      if (!tmpl) support::panic("no entry found for key");
      const store::NodeView view = store::NodeView::parse(*tmpl);
      // A Source has no input list; a term claiming children for one would
      // silently lose them.
      BRANTEL_CHECK(view.kind() != store::NodeKind::kSource || term.children.empty(),
                    "a source term has no children");
      inputs.clear();
      for (const std::uint64_t c : term.children) inputs.push_back(position_of(c));
      record.clear();
      store::encode_with_inputs(view, inputs, record);
      out.nodes.append_record(record);
      out.placements[t] = store::Placement{p, std::nullopt};
      ++out.boundary_nodes;
    } else {
      const Index* first = members.data() + member_begin[g];
      const std::size_t count = member_begin[g + 1] - member_begin[g];
      // Pass 1: number the members and give each outside group a slot, in
      // first-use order.
      inputs.clear();
      for (std::size_t j = 0; j < count; ++j) {
        const Index x = first[j];
        BRANTEL_CHECK(!terms[x].is_opaque, "a stage group holds only op terms");
        member_no[x] = static_cast<Index>(j);
        for (const std::uint64_t c : terms[x].children) {
          const Index gc = group[c];
          if (gc == g || slot_stamp[gc] == g) continue;
          slot_stamp[gc] = g;
          slot_of[gc] = static_cast<Index>(inputs.size());
          inputs.push_back(position_of(c));
        }
        out.placements[x] = store::Placement{p, j};
      }
      // Pass 2: the record. A child inside the group is an earlier member (its
      // index is smaller), so it was numbered in pass 1.
      record.clear();
      StageRecordWriter stage(record, inputs, count);
      for (std::size_t j = 0; j < count; ++j) {
        const engine::EngineTerm& m = terms[first[j]];
        stage.member(m.label, m.children.size());
        for (const std::uint64_t c : m.children) {
          const Index gc = group[c];
          if (gc == g) {
            stage.arg(store::RefKind::kMember, member_no[c]);
          } else {
            stage.arg(store::RefKind::kInput, slot_of[gc]);
          }
        }
      }
      out.nodes.append_record(record);
      ++out.stages;
    }
    pos[g] = p;
  }

  out.outputs.reserve(roots.size());
  for (const std::uint64_t r : roots) out.outputs.push_back(position_of(r));
  return out;
}

}  // namespace brantel::reduce
