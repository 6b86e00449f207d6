// The diagnostic log of the e-graph engine.
//
// The engine offers progress lines here (rebuild sizes, rule bans, iteration
// timings). This program installs no receiver for them, so offer() discards the
// line unseen. Lines are passed as callables that would build the text, so a
// discarded line costs nothing: no formatting runs on the hot paths.
//
// Non-goals: nothing here ever writes to stdout or stderr. The runner's
// duplicated-rule warning is not a diagnostic line; it goes to stderr directly.
#pragma once

namespace brantel::egraph::diag {

template <typename BuildLine>
inline void offer(BuildLine&& /*build_line*/) noexcept {}

}  // namespace brantel::egraph::diag
