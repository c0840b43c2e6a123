// NSError: what failed, as a value: a domain, a code in that domain and a sentence naming
// the failing call. Each layer converts its own failures in one place (foundation::posixError
// here, curlError below the session). Plain value; copy freely across threads.
//
// The stand-ins report failure one way (docs/conventions.md):
//   - an operation that yields nothing returns [[nodiscard]] std::optional<NSError>, absent
//     on success, read as `if (std::optional<NSError> error = data.write(url)) ...`;
//   - an operation that yields a value returns foundation::Result<T>: the value or the error;
//   - a stand-in that imitates a platform call with an NSError** out-parameter keeps that
//     shape (UNNotificationAttachment's factory), because the callers imitate the platform.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "Foundation/Export.hpp"

struct NSError {
  std::string domain;       // "NSPOSIXErrorDomain", "NSURLErrorDomain", ...
  long code = 0;            // errno, CURLcode, ...
  std::string description;  // e.g. "open(/x/y): Permission denied"
};

inline constexpr const char* NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* NSURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* NSCocoaErrorDomain = "NSCocoaErrorDomain";
// NSCocoaErrorDomain: text that does not parse as the property list or JSON expected.
inline constexpr long NSPropertyListReadCorruptError = 3840;

namespace foundation {

// "<call>: <strerror(err)>", in the POSIX domain. Thread-safe (strerror_r).
FOUNDATION_EXPORT NSError posixError(const std::string& call, int err);
// The text of errno value `err`; thread-safe, unlike std::strerror.
FOUNDATION_EXPORT std::string errorString(int err);

// A value of type T, or the NSError that kept it from being made.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}        // NOLINT: implicit
  Result(NSError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }

  // REQUIRES: ok()
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // REQUIRES: !ok()
  const NSError& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, NSError> state_;
};

}  // namespace foundation
