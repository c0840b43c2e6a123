#include "host/OutputLine.hpp"

#include <charconv>
#include <cstdlib>
#include <optional>
#include <utility>

namespace host {

namespace {

using nlohmann::ordered_json;

std::string dumpLine(const ordered_json& line) {
  return line.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

// A sound by its name ("default" for the system's); a critical alert's sound as an object that
// also gives its volume.
ordered_json soundJSON(const UNNotificationSound* sound) {
  if (sound == nullptr) return nullptr;
  ordered_json name = sound->isDefault() ? "default" : sound->name();
  if (!sound->isCritical()) return name;
  // The volume as the float it is, written as briefly as it reads back: 0.8, not
  // 0.800000011920929.
  char digits[32];
  const std::to_chars_result written =
      std::to_chars(digits, digits + sizeof digits, sound->audioVolume());
  const double volume = std::strtod(std::string(digits, written.ptr).c_str(), nullptr);
  return {{"critical", true}, {"name", std::move(name)}, {"volume", volume}};
}

const char* interruptionLevelName(UNNotificationInterruptionLevel level) {
  switch (level) {
    case UNNotificationInterruptionLevelPassive:
      return "passive";
    case UNNotificationInterruptionLevelTimeSensitive:
      return "timeSensitive";
    case UNNotificationInterruptionLevelCritical:
      return "critical";
    case UNNotificationInterruptionLevelActive:
      break;
  }
  return "active";
}

ordered_json optionalText(const std::optional<std::string>& text) {
  return text ? ordered_json(*text) : ordered_json();
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
                      {"sound", soundJSON(content.sound().get())},
                      {"threadIdentifier", content.threadIdentifier()},
                      {"categoryIdentifier", content.categoryIdentifier()},
                      {"interruptionLevel", interruptionLevelName(content.interruptionLevel())},
                      {"relevanceScore", content.relevanceScore()},
                      {"targetContentIdentifier", optionalText(content.targetContentIdentifier())},
                      {"filterCriteria", optionalText(content.filterCriteria())},
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
