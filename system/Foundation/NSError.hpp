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

#include <string>

#include "Foundation/Export.hpp"
#include "base/Result.hpp"

struct NSError {
  std::string domain;       // "NSPOSIXErrorDomain", "NSURLErrorDomain", ...
  long code = 0;            // errno, CURLcode, ...
  std::string description;  // e.g. "open(/x/y): Permission denied"
};

inline constexpr const char* NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* NSURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* NSCocoaErrorDomain = "NSCocoaErrorDomain";
// NSCocoaErrorDomain codes, under the platform's names: a file URL that names no file, or is not
// a file URL; an executable (a library) that cannot be loaded; text that does not parse as the
// property list or JSON expected.
inline constexpr long NSFileWriteInvalidFileNameError = 514;
inline constexpr long NSFileWriteUnsupportedSchemeError = 518;
inline constexpr long NSExecutableLoadError = 3587;
inline constexpr long NSPropertyListReadCorruptError = 3840;

namespace foundation {

// "<call>: <strerror(err)>", in the POSIX domain. Thread-safe (strerror_r).
FOUNDATION_EXPORT NSError posixError(const std::string& call, int err) noexcept;
// The text of errno value `err`; thread-safe, unlike std::strerror.
FOUNDATION_EXPORT std::string errorString(int err) noexcept;

// Results and statuses carry an NSError (base/Result.hpp).
template <class T>
using Result = base::Result<T, NSError>;
using Status = base::Status<NSError>;

}  // namespace foundation
