// NSError: what failed, as a value: a domain, a code in that domain and a sentence naming
// the failing call. Each layer converts its own failures in one place (posixError,
// curlError below the session). Plain value; copy freely across threads.
#pragma once

#include <string>

struct NSError {
  std::string domain;       // "NSPOSIXErrorDomain", "NSURLErrorDomain", ...
  long code = 0;            // errno, CURLcode, ...
  std::string description;  // e.g. "open(/x/y): Permission denied"
};

inline constexpr const char* NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* NSURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* NSCocoaErrorDomain = "NSCocoaErrorDomain";

// "<call>: <strerror(err)>", in the POSIX domain.
NSError posixError(const std::string& call, int err);
