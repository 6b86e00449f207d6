// Pattern compilation into register instructions and the backtracking machine that
// runs them. The instruction set and a worked example are described in program.h.
#include "egraph/program.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <set>

#include "egraph/diagnostic_log.h"
#include "support/check.h"

namespace brantel::egraph {
namespace {

void collect_vars(const PatternAst& ast, std::size_t entry, std::set<Var>& vars) {
  if (const Var* v = std::get_if<Var>(&ast[entry])) {
    vars.insert(*v);
    return;
  }
  for (Id child : std::get<SymbolNode>(ast[entry]).children()) collect_vars(ast, child, vars);
}

class Compiler {
 public:
  explicit Compiler(const PatternAst& ast) : ast_(ast) {}

  Program compile() {
    if (ast_.empty()) return std::move(program_);
    std::deque<std::pair<std::size_t, Register>> work{{ast_.size() - 1, 0}};
    Register next_free = 1;
    while (!work.empty()) {
      const auto [entry, reg] = work.front();
      work.pop_front();
      if (const Var* v = std::get_if<Var>(&ast_[entry])) {
        if (const std::optional<Register> bound = register_of(*v)) {
          program_.instructions.emplace_back(Compare{reg, *bound});
        } else {
          program_.subst.emplace_back(*v, reg);
        }
        continue;
      }
      const SymbolNode& node = std::get<SymbolNode>(ast_[entry]);
      if (is_ground(entry)) {
        Lookup lookup{{}, reg};
        build_term(entry, lookup.term);
        program_.instructions.emplace_back(std::move(lookup));
        continue;
      }
      const Register out = next_free;
      next_free += node.arity();
      program_.instructions.emplace_back(
          Bind{SymbolNode::filled(node.op(), node.arity(), [](std::uint32_t) { return Id{0}; }), reg, out});
      for (std::uint32_t m = 0; m < node.arity(); ++m) work.emplace_back(node.children()[m], out + m);
    }
    program_.register_count = next_free;
    return std::move(program_);
  }

 private:
  // The subst list doubles as the variable -> register map while compiling.
  std::optional<Register> register_of(Var v) const {
    for (const auto& [var, reg] : program_.subst) {
      if (var == v) return reg;
    }
    return std::nullopt;
  }

  bool is_ground(std::size_t entry) const {
    std::set<Var> vars;
    collect_vars(ast_, entry, vars);
    return std::all_of(vars.begin(), vars.end(), [&](Var v) { return register_of(v).has_value(); });
  }

  // Appends the subterm at entry bottom-up; returns the index of its root entry.
  std::uint32_t build_term(std::size_t entry, std::vector<TermEntry>& term) const {
    if (const Var* v = std::get_if<Var>(&ast_[entry])) {
      term.emplace_back(Reg{*register_of(*v)});
      return static_cast<std::uint32_t>(term.size() - 1);
    }
    const SymbolNode& node = std::get<SymbolNode>(ast_[entry]);
    std::vector<Id> children;
    children.reserve(node.arity());
    for (Id child : node.children()) children.push_back(build_term(child, term));
    term.emplace_back(ENode{SymbolNode(node.op(), children)});
    return static_cast<std::uint32_t>(term.size() - 1);
  }

  const PatternAst& ast_;
  Program program_;
};

class Machine {
 public:
  Machine(const EGraph& egraph, const Program& program, std::size_t limit, std::vector<Subst>& out,
          std::vector<Id>& regs)
      : egraph_(egraph), program_(program), remaining_(limit), out_(out), regs_(regs) {
    regs_.assign(program.register_count, 0);
  }

  void run(Id eclass) {
    regs_[0] = eclass;
    step(0);
  }

 private:
  // Returns true once the limit is reached, which unwinds the whole search.
  bool step(std::size_t pc) {
    if (pc == program_.instructions.size()) return emit();
    const Instruction& ins = program_.instructions[pc];
    if (const Bind* bind = std::get_if<Bind>(&ins)) {
      const EClass& cls = egraph_[regs_[bind->i]];
      // Nodes are sorted by operator first: jump to the operator's run.
      const SymbolNode* it = std::lower_bound(
          cls.nodes.begin(), cls.nodes.end(), bind->node.op(),
          [](const SymbolNode& n, Symbol op) { return n.op() < op; });
      for (; it != cls.nodes.end() && it->op() == bind->node.op(); ++it) {
        if (!it->matches(bind->node)) continue;
        std::copy(it->children().begin(), it->children().end(), regs_.begin() + bind->out);
        if (step(pc + 1)) return true;
      }
      return false;
    }
    if (const Compare* cmp = std::get_if<Compare>(&ins)) {
      if (egraph_.find(regs_[cmp->i]) != egraph_.find(regs_[cmp->j])) return false;
      return step(pc + 1);
    }
    if (const Lookup* lookup = std::get_if<Lookup>(&ins)) {
      std::vector<Id> ids;
      ids.reserve(lookup->term.size());
      for (const TermEntry& entry : lookup->term) {
        if (const Reg* r = std::get_if<Reg>(&entry)) {
          ids.push_back(egraph_.find(regs_[r->reg]));
          continue;
        }
        const SymbolNode& shape = std::get<ENode>(entry).node;
        const std::optional<Id> found = egraph_.lookup(
            SymbolNode::filled(shape.op(), shape.arity(), [&](std::uint32_t k) { return ids[shape.children()[k]]; }));
        if (!found) return false;
        ids.push_back(*found);
      }
      if (ids.empty() || ids.back() != egraph_.find(regs_[lookup->i])) return false;
      return step(pc + 1);
    }
    const Scan& scan = std::get<Scan>(ins);
    for (Id id : egraph_.class_ids()) {
      regs_[scan.out] = id;
      if (step(pc + 1)) return true;
    }
    return false;
  }

  bool emit() {
    Subst subst;
    for (const auto& [var, reg] : program_.subst) subst.insert(var, egraph_.find(regs_[reg]));
    out_.push_back(std::move(subst));
    --remaining_;
    return remaining_ == 0;
  }

  const EGraph& egraph_;
  const Program& program_;
  std::size_t remaining_;
  std::vector<Subst>& out_;
  std::vector<Id>& regs_;
};

}  // namespace

Program Program::compile(const PatternAst& ast) {
  Program compiled = Compiler(ast).compile();
  diag::offer([&] { return "Compiled " + compiled.to_string(); });
  return compiled;
}

void Program::run(const EGraph& egraph, Id eclass, std::size_t limit, std::vector<Subst>& out) const {
  std::vector<Id> registers;
  run(egraph, eclass, limit, out, registers);
}

void Program::run(const EGraph& egraph, Id eclass, std::size_t limit, std::vector<Subst>& out,
                  std::vector<Id>& registers) const {
  BRANTEL_CHECK(egraph.clean(), "Tried to search a dirty e-graph!");
  if (limit == 0) return;
  Machine(egraph, *this, limit, out, registers).run(eclass);
}

namespace {
// A Bind's node has placeholder children, so only the operator and arity are shown.
std::string shape_text(const SymbolNode& node) {
  return std::string(node.op().text()) + "/" + std::to_string(node.arity());
}
}  // namespace

std::string Program::to_string() const {
  std::string out = "Program { instructions: [";
  for (std::size_t k = 0; k < instructions.size(); ++k) {
    if (k > 0) out += ", ";
    const Instruction& ins = instructions[k];
    if (const Bind* b = std::get_if<Bind>(&ins)) {
      out += "Bind { node: " + shape_text(b->node) + ", i: " + std::to_string(b->i) +
             ", out: " + std::to_string(b->out) + " }";
    } else if (const Compare* c = std::get_if<Compare>(&ins)) {
      out += "Compare { i: " + std::to_string(c->i) + ", j: " + std::to_string(c->j) + " }";
    } else if (const Lookup* l = std::get_if<Lookup>(&ins)) {
      out += "Lookup { term: [";
      for (std::size_t t = 0; t < l->term.size(); ++t) {
        if (t > 0) out += ", ";
        if (const Reg* r = std::get_if<Reg>(&l->term[t])) {
          out += "Reg(" + std::to_string(r->reg) + ")";
        } else {
          out += "ENode(" + std::get<ENode>(l->term[t]).node.to_string() + ")";
        }
      }
      out += "], i: " + std::to_string(l->i) + " }";
    } else {
      out += "Scan { out: " + std::to_string(std::get<Scan>(ins).out) + " }";
    }
  }
  out += "], subst: {";
  for (std::size_t k = 0; k < subst.size(); ++k) {
    if (k > 0) out += ", ";
    out += std::string(subst[k].first.text()) + ": " + std::to_string(subst[k].second);
  }
  return out + "} }";
}

}  // namespace brantel::egraph
