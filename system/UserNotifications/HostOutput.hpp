// What the host writes: one JSON line per delivery on standard output, and one line per
// complaint on standard error, each written whole so that lines from different threads
// never interleave, nor do the two streams' when they share a pipe.
//
// HostOutput is thread-safe. Once a write fails (the reader went away) it remembers the
// failure and drops later lines; after close() it drops every line.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "UserNotifications/Export.hpp"
#include "UserNotifications/UNNotificationContent.hpp"
#include "base/Mutex.hpp"

namespace usernotifications {

// The content as the host prints it: title, subtitle, body, badge, sound, threadIdentifier,
// categoryIdentifier, userInfo, attachments [{identifier, url, type}].
UN_EXPORT nlohmann::ordered_json contentJSON(const UNNotificationContent& content);

// The line for one call of a request's content handler; `content` null prints as null.
UN_EXPORT std::string extensionLine(const std::string& id, int call, bool expired, bool shown,
                                    const UNNotificationContent* content);
// The line for a request's original content, shown by the host for `reason`
// ("not-mutable" or "no-delivery").
std::string originalLine(const std::string& id, const char* reason,
                         const UNNotificationContent& content);

// "HalvicourtNotificationService: <message>" on standard error, as one line whole among the
// log's events (system_log::writeLine).
void printError(const std::string& message);

class HostOutput {
 public:
  HostOutput();
  // Writes `line` and a newline to standard output, whole, and whole among the log's lines
  // when standard error is the same file or pipe. False once close() was called: the line
  // is dropped.
  bool writeLine(std::string line) EXCLUDES(mu_);
  void close() EXCLUDES(mu_);
  // The errno of the failed write, or 0.
  int failure() EXCLUDES(mu_);

 private:
  bool besideLog_ = false;  // set once: standard output is standard error's file
  base::Mutex mu_;          // guards the members below, and orders the writes
  bool closed_ GUARDED_BY(mu_) = false;
  bool failed_ GUARDED_BY(mu_) = false;
  int error_ GUARDED_BY(mu_) = 0;
};

}  // namespace usernotifications
