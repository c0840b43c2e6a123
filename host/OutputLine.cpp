#include "host/OutputLine.hpp"

#include <utility>

namespace host {

namespace {

using nlohmann::ordered_json;

std::string dumpLine(const ordered_json& line) {
  return line.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

ordered_json pushJSON(const PushHeaders& push) {
  return ordered_json{
      {"apnsId", push.apnsId},
      {"uniqueId", push.uniqueId},
      {"topic", push.topic},
      {"pushType", push.pushType},
      {"priority", push.priority},
      {"expiration", push.expiration ? ordered_json(*push.expiration) : ordered_json()},
      {"collapseId", push.collapseId.empty() ? ordered_json() : ordered_json(push.collapseId)}};
}

// The line's own fields, then where it came from, then its content.
std::string lineWith(ordered_json line, const LineOrigin& origin, ordered_json content) {
  if (origin.replaces != nullptr) line["replaces"] = *origin.replaces;
  if (origin.push != nullptr) line["push"] = pushJSON(*origin.push);
  line["content"] = std::move(content);
  return dumpLine(line);
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
                          const UNNotificationContent* content, LineOrigin origin) {
  return lineWith(ordered_json{{"id", id},
                               {"source", "extension"},
                               {"call", call},
                               {"expired", expired},
                               {"shown", shown}},
                  origin, content != nullptr ? contentJSON(*content) : ordered_json());
}

std::string originalLine(const std::string& id, const char* reason,
                         const UNNotificationContent& content, LineOrigin origin) {
  return lineWith(
      ordered_json{{"id", id}, {"source", "original"}, {"reason", reason}, {"shown", true}}, origin,
      contentJSON(content));
}

std::string appLine(const std::string& id, const UNNotificationContent& content,
                    const PushHeaders& push) {
  return lineWith(ordered_json{{"id", id}, {"source", "app"}, {"shown", false}},
                  {.push = &push, .replaces = nullptr}, contentJSON(content));
}

}  // namespace host
