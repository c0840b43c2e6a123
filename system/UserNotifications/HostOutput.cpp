#include "UserNotifications/HostOutput.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "System/os_log.hpp"

namespace usernotifications {

namespace {

using nlohmann::ordered_json;

std::string dumpLine(const ordered_json& line) {
  return line.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

}  // namespace

ordered_json contentJSON(const UNNotificationContent& content) {
  ordered_json attachments = ordered_json::array();
  for (const Strong<UNNotificationAttachment>& a : content.attachments()) {
    attachments.push_back(
        {{"identifier", a->identifier()}, {"url", a->url().absoluteString()}, {"type", a->type()}});
  }
  return ordered_json{{"title", content.title()},
                      {"subtitle", content.subtitle()},
                      {"body", content.body()},
                      {"badge", ordered_json(content.badge())},
                      {"sound", ordered_json(content.sound())},
                      {"threadIdentifier", content.threadIdentifier()},
                      {"categoryIdentifier", content.categoryIdentifier()},
                      {"userInfo", ordered_json(content.userInfo())},
                      {"attachments", std::move(attachments)}};
}

std::string extensionLine(const std::string& id, int call, bool expired, bool shown,
                          const UNNotificationContent* content) {
  return dumpLine(
      ordered_json{{"id", id},
                   {"source", "extension"},
                   {"call", call},
                   {"expired", expired},
                   {"shown", shown},
                   {"content", content != nullptr ? contentJSON(*content) : ordered_json()}});
}

std::string originalLine(const std::string& id, const char* reason,
                         const UNNotificationContent& content) {
  return dumpLine(ordered_json{{"id", id},
                               {"source", "original"},
                               {"reason", reason},
                               {"shown", true},
                               {"content", contentJSON(content)}});
}

void printError(const std::string& message) {
  // Through the log's sink, so that an error line never lands inside an event's line.
  system_log::writeLine("HalvicourtNotificationService: " + message);
}

HostOutput::HostOutput() {
  // Both streams on one file or pipe (2>&1): output lines and the log's take turns whole.
  struct stat out {};
  struct stat err {};
  besideLog_ = fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
               out.st_dev == err.st_dev && out.st_ino == err.st_ino;
}

bool HostOutput::writeLine(std::string line) {
  line.push_back('\n');
  base::MutexLock lock(mu_);
  if (closed_) return false;
  if (failed_) return true;
  if (const int error = system_log::writeWhole(STDOUT_FILENO, line, besideLog_); error != 0) {
    failed_ = true;
    error_ = error;
  }
  return true;
}

void HostOutput::close() {
  base::MutexLock lock(mu_);
  closed_ = true;
}

int HostOutput::failure() {
  base::MutexLock lock(mu_);
  return failed_ ? (error_ != 0 ? error_ : EIO) : 0;
}

}  // namespace usernotifications
