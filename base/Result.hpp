// Result<T, E> and Status<E>: what an operation that can fail hands back. A Result holds the
// value it made or the error E that kept it from being made; a Status says that an operation
// that yields nothing succeeded, or holds its error. Both are [[nodiscard]] as types, so a
// dropped error does not compile, whatever the declaration says. Each layer names its own
// error type (Foundation's NSError: foundation::Result<T>, foundation::Status). Plain values;
// as thread-safe as T and E.
#pragma once

#include <optional>
#include <utility>
#include <variant>

namespace base {

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T made) : state_(std::in_place_index<0>, std::move(made)) {}    // NOLINT: implicit
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit

  bool ok() const { return state_.index() == 0; }

  // REQUIRES: ok()
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // REQUIRES: !ok()
  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Status {
 public:
  // Success.
  Status() = default;
  Status(E error) : error_(std::move(error)) {}  // NOLINT: implicit, as `return error;`

  bool ok() const { return !error_.has_value(); }
  // REQUIRES: !ok()
  const E& error() const& { return *error_; }
  E&& error() && { return *std::move(error_); }

 private:
  std::optional<E> error_;
};

}  // namespace base
