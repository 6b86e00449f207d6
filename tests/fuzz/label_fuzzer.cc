// Feeds arbitrary text to parse_param_text and parse_member_label. Whenever a
// parse succeeds, its map must be sorted and param_text of it must parse back
// to the same map; a parsed member label rebuilt from its parts must parse back
// to the same result.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "store/model/label.h"

namespace {

using brantel::store::ParamMap;

[[noreturn]] void finding(const char* what) {
  __builtin_fprintf(stderr, "label_fuzzer: %s\n", what);
  std::abort();
}

void check_map(const ParamMap& params) {
  for (std::size_t k = 1; k < params.size(); ++k) {
    if (params[k].key < params[k - 1].key) finding("parsed map is not sorted");
  }
  const auto back = brantel::store::parse_param_text(brantel::store::param_text(params));
  if (!back || *back != params) finding("param_text does not parse back to the same map");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Labels are one short line; 4 KiB covers every grammar construct many times
  // over, and longer inputs only slow each execution down.
  if (size > 4096) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto params = brantel::store::parse_param_text(text)) check_map(*params);
  if (auto member = brantel::store::parse_member_label(text)) {
    check_map(member->params);
    std::string rebuilt = member->kind_word + "|" + brantel::store::escape_label_text(member->name);
    if (!member->params.empty()) rebuilt += "|" + brantel::store::param_text(member->params);
    const auto back = brantel::store::parse_member_label(rebuilt);
    if (!back || *back != *member) finding("a rebuilt member label does not parse back");
  }
  return 0;
}
