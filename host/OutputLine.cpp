#include "host/OutputLine.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <optional>
#include <string>
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

// Appends `text` as a JSON string: as it is when it is plain printable ASCII, as the
// identifiers and names of a push are, escaped by the serializer otherwise.
void appendString(std::string& out, const std::string& text) {
  const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
    return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
  });
  if (!plain) {
    out += dumpLine(ordered_json(text));
    return;
  }
  out += '"';
  out += text;
  out += '"';
}

// Written as text, not built as an object to dump: the line of each push is made on the host
// thread, which under h2load cannot keep up with the gateway.
void appendPush(std::string& out, const PushHeaders& push) {
  out += "{\"apnsId\":";
  appendString(out, push.apnsId);
  out += ",\"uniqueId\":";
  appendString(out, push.uniqueId);
  out += ",\"topic\":";
  appendString(out, push.topic);
  out += ",\"pushType\":";
  appendString(out, push.pushType);
  out += ",\"priority\":";
  out += std::to_string(push.priority);
  out += ",\"expiration\":";
  out += push.expiration ? std::to_string(*push.expiration) : "null";
  out += ",\"collapseId\":";
  if (push.collapseId.empty()) {
    out += "null";
  } else {
    appendString(out, push.collapseId);
  }
  out += '}';
}

// The line's own fields, then where it came from, then its content.
std::string lineWith(const ordered_json& fields, const LineOrigin& origin,
                     const ordered_json& content) {
  std::string line = dumpLine(fields);
  line.pop_back();  // the object's closing brace: the rest goes inside it
  if (origin.replaces != nullptr) {
    line += ",\"replaces\":";
    appendString(line, *origin.replaces);
  }
  if (origin.push != nullptr) {
    line += ",\"push\":";
    appendPush(line, *origin.push);
  }
  line += ",\"content\":";
  line += dumpLine(content);
  line += '}';
  return line;
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
