#include "Foundation/URLSessionLog.hpp"

#include <algorithm>
#include <cstddef>

#include "System/os_log.hpp"

namespace foundation {

namespace {

os_log_t sessionLog() {
  static const os_log_t log = os_log_create("com.halvicourt.Foundation", "URLSession");
  return log;
}

// Milliseconds to the microsecond: loopback transfers take well under one.
double millisecondsSince(TransferClock::time_point from, TransferClock::time_point to) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(to - from).count();
  return static_cast<double>(us) / 1000.0;
}

const char* httpVersionName(long version) {
  switch (version) {
    case CURL_HTTP_VERSION_1_0:
      return "1.0";
    case CURL_HTTP_VERSION_1_1:
      return "1.1";
    case CURL_HTTP_VERSION_2_0:
      return "2";
    case CURL_HTTP_VERSION_3:
      return "3";
    default:
      return nullptr;
  }
}

void writeTransfer(std::string_view address, long status, std::size_t bytes, double ms,
                   const char* httpVersion, long redirects, std::string_view error) {
  // Absent values are JSON null, so that every "transfer" event has the same keys.
  const system_log::Field statusField =
      status != 0 ? system_log::Field("status", status) : system_log::Field("status", nullptr);
  const system_log::Field versionField = httpVersion != nullptr
                                             ? system_log::Field("httpVersion", httpVersion)
                                             : system_log::Field("httpVersion", nullptr);
  const system_log::Field errorField =
      error.empty() ? system_log::Field("error", nullptr) : system_log::Field("error", error);
  const std::string url = redactedURL(address);
  system_log::event(sessionLog(), OS_LOG_TYPE_INFO, "transfer",
                    {{"url", url},
                     statusField,
                     {"bytes", bytes},
                     {"ms", ms},
                     versionField,
                     {"redirects", redirects},
                     errorField});
}

}  // namespace

std::string redactedURL(std::string_view url) {
  const std::size_t slashes = url.find("://");
  if (slashes == std::string_view::npos) return std::string(url);
  const std::size_t start = slashes + 3;
  const std::size_t end = std::min(url.find_first_of("/?#", start), url.size());
  const std::size_t at = url.substr(start, end - start).rfind('@');
  if (at == std::string_view::npos) return std::string(url);
  std::string redacted(url.substr(0, start));
  redacted += "<private>";
  redacted += url.substr(start + at);
  return redacted;
}

void logCurlTransfer(const os_activity_t& activity, CURL* easy, std::string_view url,
                     TransferClock::time_point started, TransferClock::time_point admitted,
                     std::size_t bytes, std::string_view error) {
  if (!os_log_type_enabled(sessionLog(), OS_LOG_TYPE_INFO)) return;
  const TransferClock::time_point now = TransferClock::now();
  system_log::ActivityScope scope(activity);
  // The connection's event comes first: "transfer" is the transfer's last word.
  if (os_log_type_enabled(sessionLog(), OS_LOG_TYPE_DEBUG)) {
    long connects = 0, localPort = 0;
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
    curl_easy_getinfo(easy, CURLINFO_LOCAL_PORT, &localPort);
    // No new connection and no local port: no connection at all (refused, or never reached).
    const char* connection = connects > 0 ? "new" : localPort != 0 ? "reused" : nullptr;
    system_log::event(sessionLog(), OS_LOG_TYPE_DEBUG, "transfer.connection",
                      {{"url", redactedURL(url)},
                       connection != nullptr ? system_log::Field("connection", connection)
                                             : system_log::Field("connection", nullptr),
                       {"newConnections", connects},
                       localPort != 0 ? system_log::Field("localPort", localPort)
                                      : system_log::Field("localPort", nullptr),
                       {"queuedMs", millisecondsSince(started, admitted)}});
  }
  long status = 0, version = 0, redirects = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
  curl_easy_getinfo(easy, CURLINFO_REDIRECT_COUNT, &redirects);
  writeTransfer(url, status, bytes, millisecondsSince(started, now),
                status != 0 ? httpVersionName(version) : nullptr, redirects, error);
}

void logTransferNotRun(const os_activity_t& activity, std::string_view url,
                       TransferClock::time_point started, std::string_view error) {
  if (!os_log_type_enabled(sessionLog(), OS_LOG_TYPE_INFO)) return;
  system_log::ActivityScope scope(activity);
  writeTransfer(url, 0, 0, millisecondsSince(started, TransferClock::now()), nullptr, 0, error);
}

void logTransferRetried(const os_activity_t& activity, std::string_view url,
                        std::string_view reason, int retry) {
  if (!os_log_type_enabled(sessionLog(), OS_LOG_TYPE_DEBUG)) return;
  system_log::ActivityScope scope(activity);
  system_log::event(sessionLog(), OS_LOG_TYPE_DEBUG, "transfer.retried",
                    {{"url", redactedURL(url)}, {"reason", reason}, {"retry", retry}});
}

void logTransferQueued(const os_activity_t& activity, std::string_view url, std::size_t ahead) {
  if (!os_log_type_enabled(sessionLog(), OS_LOG_TYPE_DEBUG)) return;
  system_log::ActivityScope scope(activity);
  system_log::event(sessionLog(), OS_LOG_TYPE_DEBUG, "transfer.queued",
                    {{"url", redactedURL(url)}, {"ahead", ahead}});
}

}  // namespace foundation
