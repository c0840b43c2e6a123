// URLSessionLog: the URL session's events in the system log (subsystem
// com.halvicourt.Foundation, category URLSession), each written under the activity of the
// caller that made the task, whichever thread writes it:
//   info   "transfer" when a transfer has ended: url, status (null without a response), bytes
//          (of the body received), ms (from resume), httpVersion ("1.1", "2"; null without a
//          response), redirects, error (null, or the reason in words);
//   debug  "transfer.queued" when a transfer waits for a place under the session's limit
//          (ahead: the transfers waiting before it), and "transfer.connection" just before
//          its "transfer": whether its connection was new or reused (null: it had none, as
//          when the connection was refused), the local port that tells connections apart
//          (null without one), and how long it waited for a place; "transfer.retried" when a
//          transfer whose connection died unanswered is sent again (reason, retry).
// An address's user information (a password, a token) is written as "<private>".
//
// Private to Foundation (nothing here is exported). Thread-safe. Each function does nothing
// but one relaxed load unless its level is written.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <string>
#include <string_view>

#include "System/os_activity.hpp"

namespace foundation {

using TransferClock = std::chrono::steady_clock;

// `url` with its user information, if any, replaced by "<private>": "http://<private>@h/".
std::string redactedURL(std::string_view url);

// The "transfer" event of a transfer that libcurl ran to its end; `easy` still holds what it
// learnt. `error` is empty for a transfer that succeeded.
void logCurlTransfer(const os_activity_t& activity, CURL* easy, std::string_view url,
                     TransferClock::time_point started, TransferClock::time_point admitted,
                     std::size_t bytes, std::string_view error);
// The "transfer" event of a transfer that never reached libcurl: refused or cancelled.
void logTransferNotRun(const os_activity_t& activity, std::string_view url,
                       TransferClock::time_point started, std::string_view error);
// The "transfer.retried" event: sent again (the `retry`th time) after `reason`.
void logTransferRetried(const os_activity_t& activity, std::string_view url,
                        std::string_view reason, int retry);
// The "transfer.queued" event.
void logTransferQueued(const os_activity_t& activity, std::string_view url, std::size_t ahead);

}  // namespace foundation
