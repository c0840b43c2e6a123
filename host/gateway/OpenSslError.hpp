// Errors of OpenSSL's calls as NSErrors: "<call>: <OpenSSL's reason>", in the domain
// "OpenSSL" with the first queued error code. Thread-safe: OpenSSL's error queue is per thread.
#pragma once

#include <string>

#include "Foundation/NSError.hpp"

namespace host::gateway {

inline constexpr const char* kOpenSslErrorDomain = "OpenSSL";

// Takes and clears this thread's queued OpenSSL errors.
NSError opensslError(const std::string& call);

// Clears this thread's queued OpenSSL errors, where a failure is expected and answered
// (a peer's bad handshake), so that they do not surface in a later, unrelated call.
void clearOpensslErrors();

}  // namespace host::gateway
