// Result<T, E>: a value or an expected failure. Failures the caller must handle are
// values, so a forgotten check is a compile warning ([[nodiscard]]) rather than a
// lost error.
#pragma once

#include <utility>
#include <variant>

namespace brantel::support {

template <typename E>
struct Err {
  E error;
};
template <typename E>
Err(E) -> Err<E>;

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  template <typename F>
  Result(Err<F> e) : v_(std::in_place_index<1>, std::move(e.error)) {}  // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  // nullptr when the result holds a value.
  const E* error() const noexcept { return std::get_if<1>(&v_); }
  const T* value_ptr() const noexcept { return std::get_if<0>(&v_); }

  T& operator*() & { return std::get<0>(v_); }
  const T& operator*() const& { return std::get<0>(v_); }
  T&& operator*() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }

 private:
  std::variant<T, E> v_;
};

// For operations whose success carries no value.
struct Unit {
  friend bool operator==(Unit, Unit) = default;
};

}  // namespace brantel::support
