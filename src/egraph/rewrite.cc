#include "egraph/rewrite.h"

#include <algorithm>

namespace brantel::egraph {

support::Result<Rewrite, std::string> Rewrite::create(std::string_view name, Pattern searcher,
                                                      Pattern applier) {
  const Symbol interned = Symbol::intern(name);
  const std::vector<Var>& bound = searcher.vars();
  for (Var v : applier.vars()) {
    if (std::find(bound.begin(), bound.end(), v) == bound.end()) {
      return support::Err{"Rewrite " + std::string(name) + " refers to unbound var " +
                          std::string(v.text())};
    }
  }
  return Rewrite(interned, std::make_shared<const Pattern>(std::move(searcher)),
                 std::make_shared<const Pattern>(std::move(applier)));
}

support::Result<Rewrite, std::string> Rewrite::parse(std::string_view name, std::string_view searcher,
                                                     std::string_view applier) {
  auto lhs = Pattern::parse(searcher);
  if (!lhs) return support::Err{describe(*lhs.error())};
  auto rhs = Pattern::parse(applier);
  if (!rhs) return support::Err{describe(*rhs.error())};
  return create(name, std::move(*lhs), std::move(*rhs));
}

}  // namespace brantel::egraph
