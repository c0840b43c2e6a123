// The one place where a libcurl failure becomes an NSError: the NSURLErrorDomain code that the
// session's callers branch on, and a description naming the call, then the reason in words.
// Private to Foundation. Stateless and thread-safe.
#pragma once

#include <curl/curl.h>

#include <string>
#include <string_view>

#include "Foundation/NSError.hpp"

namespace foundation {

// The NSURLErrorDomain code for `code`: NSURLErrorTimedOut, NSURLErrorNetworkConnectionLost,
// ... or NSURLErrorUnknown for the codes no caller tells apart.
long urlErrorCode(CURLcode code);

// `call` failed with `code`: in NSURLErrorDomain, described as "<call>: <reason>".
NSError curlError(const std::string& call, CURLcode code, std::string_view detail);

// A libcurl failure in words: what went wrong, the code, and libcurl's detail (its error
// buffer: the certificate's verify result, the time that ran out...). Where libcurl's own
// words mislead (it calls an input over one of its size limits "Out of memory"), the words
// say what happened instead.
std::string curlReason(CURLcode code, std::string_view detail);

// The error of a transfer that the session's invalidation ended or refused.
NSError cancelledError();

}  // namespace foundation
