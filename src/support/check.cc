#include "support/check.h"

namespace brantel::support {

void panic(std::string_view message, std::source_location where) {
  throw InternalError(std::string(message), where);
}

}  // namespace brantel::support
