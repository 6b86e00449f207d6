// Internal invariant checks. A failed check is a bug in this library, never a
// caller error: it throws InternalError, which only the Python boundary catches
// and turns into PanicException.
#pragma once

#include <cstdint>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

namespace brantel::support {

// How many InternalErrors this thread has made, so that a lock guard can tell an
// internal error in flight (which poisons) from an allocation failure (which
// leaves the state as it was and must not).
inline thread_local std::uint64_t t_internal_errors_made = 0;

class InternalError : public std::runtime_error {
 public:
  InternalError(std::string message, std::source_location where)
      : std::runtime_error(std::move(message)), where_(where) {
    ++t_internal_errors_made;
  }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

[[noreturn]] void panic(std::string_view message,
                        std::source_location where = std::source_location::current());

// Bounds-checked index for tables whose size an invariant guarantees.
template <typename Container>
decltype(auto) at_checked(Container& c, std::size_t i,
                          std::source_location where = std::source_location::current()) {
  if (i >= c.size()) {
    panic("index out of bounds: the len is " + std::to_string(c.size()) + " but the index is " +
              std::to_string(i),
          where);
  }
  return c[i];
}

}  // namespace brantel::support

#define BRANTEL_CHECK(cond, message)                              \
  do {                                                            \
    if (!(cond)) [[unlikely]] ::brantel::support::panic(message); \
  } while (false)
