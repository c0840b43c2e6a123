#include "host/OutputLine.hpp"

#include <utility>

namespace host {

namespace {

using nlohmann::ordered_json;

std::string dumpLine(const ordered_json& line) {
  return line.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

}  // namespace

ordered_json contentJSON(const UNNotificationContent& content) {
  ordered_json attachments = ordered_json::array();
  for (const objc::Strong<UNNotificationAttachment>& a : content.attachments()) {
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

}  // namespace host
