#include "host/OutputLine.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
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

// Appends `text` as a JSON string: as it is when it is plain printable ASCII, as the
// identifiers and names of a push are, escaped by the serializer otherwise. Copied in one
// piece: a line has a few dozen strings, and a character at a time was a third of its cost.
// The bytes a JSON string holds as they are: printable ASCII but the quote and the backslash.
constexpr std::array<bool, 256> kPlainBytes = [] {
  std::array<bool, 256> plain{};
  for (std::size_t byte = 0x20; byte < 0x7f; ++byte) plain[byte] = byte != '"' && byte != '\\';
  return plain;
}();

void appendString(std::string& out, std::string_view text) {
  for (const char c : text) {
    if (!kPlainBytes[static_cast<unsigned char>(c)]) {
      out += dumpLine(ordered_json(std::string(text)));
      return;
    }
  }
  out += '"';
  out.append(text);
  out += '"';
}

// Appends `value` as dumpLine writes it: strings, integers and what holds them directly, the
// rest (floating-point numbers, strings to escape) through the serializer. The serializer
// writes a character at a time; for a push's userInfo it was most of the line's cost.
void appendJSON(std::string& out, const nlohmann::json& value) {
  using Type = nlohmann::json::value_t;
  switch (value.type()) {
    case Type::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, item] : value.get_ref<const nlohmann::json::object_t&>()) {
        if (!first) out += ',';
        first = false;
        appendString(out, key);
        out += ':';
        appendJSON(out, item);
      }
      out += '}';
      return;
    }
    case Type::array: {
      out += '[';
      bool first = true;
      for (const nlohmann::json& item : value.get_ref<const nlohmann::json::array_t&>()) {
        if (!first) out += ',';
        first = false;
        appendJSON(out, item);
      }
      out += ']';
      return;
    }
    case Type::string:
      appendString(out, value.get_ref<const std::string&>());
      return;
    case Type::boolean:
      out += value.get<bool>() ? "true" : "false";
      return;
    case Type::null:
      out += "null";
      return;
    case Type::number_integer:
      out += std::to_string(value.get<std::int64_t>());
      return;
    case Type::number_unsigned:
      out += std::to_string(value.get<std::uint64_t>());
      return;
    case Type::number_float:
    case Type::binary:
    case Type::discarded:
      break;
  }
  out += value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
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

// A JSON value other than a plain string, as the serializer writes it.
void appendValue(std::string& out, const ordered_json& value) { out += dumpLine(value); }

void appendOptionalText(std::string& out, const std::optional<std::string>& text) {
  if (text) {
    appendString(out, *text);
  } else {
    out += "null";
  }
}

// The content written as text in its fields' order, not built as an object and dumped: the
// line of every push is made on the host thread, and the copy of userInfo into an ordered
// object was a third of that thread's time under h2load.
void appendContent(std::string& out, const UNNotificationContent& content) {
  out += "{\"title\":";
  appendString(out, content.title());
  out += ",\"subtitle\":";
  appendString(out, content.subtitle());
  out += ",\"body\":";
  appendString(out, content.body());
  out += ",\"badge\":";
  appendJSON(out, content.badge());  // null or a number
  out += ",\"sound\":";
  if (const UNNotificationSound* sound = content.sound().get()) {
    appendValue(out, soundJSON(sound));
  } else {
    out += "null";
  }
  out += ",\"threadIdentifier\":";
  appendString(out, content.threadIdentifier());
  out += ",\"categoryIdentifier\":";
  appendString(out, content.categoryIdentifier());
  out += ",\"interruptionLevel\":\"";
  out += interruptionLevelName(content.interruptionLevel());
  out += "\",\"relevanceScore\":";
  if (const double score = content.relevanceScore(); score == 0 && !std::signbit(score)) {
    out += "0.0";  // the default, as the serializer writes it
  } else {
    appendValue(out, ordered_json(score));
  }
  out += ",\"targetContentIdentifier\":";
  appendOptionalText(out, content.targetContentIdentifier());
  out += ",\"filterCriteria\":";
  appendOptionalText(out, content.filterCriteria());
  out += ",\"userInfo\":";
  appendJSON(out, content.userInfo());
  out += ",\"attachments\":[";
  bool first = true;
  for (const objc::Strong<UNNotificationAttachment>& a : content.attachments()) {
    if (!first) out += ',';
    first = false;
    out += "{\"identifier\":";
    appendString(out, a->identifier());
    out += ",\"url\":";
    appendString(out, a->url().absoluteString());
    out += ",\"type\":";
    appendString(out, a->type());
    out += '}';
  }
  out += "]}";
}

// The start of a line: its id and source, the fields that follow left open.
std::string lineStart(const std::string& id, const char* source) {
  std::string line;
  line.reserve(1024);
  line += "{\"id\":";
  appendString(line, id);
  line += ",\"source\":\"";
  line += source;
  line += '"';
  return line;
}

const char* boolean(bool value) { return value ? "true" : "false"; }

// The rest of a line after its own fields: where it came from, then its content (null when
// there is none).
std::string lineEnd(std::string line, const LineOrigin& origin,
                    const UNNotificationContent* content) {
  if (origin.replaces != nullptr) {
    line += ",\"replaces\":";
    appendString(line, *origin.replaces);
  }
  if (origin.push != nullptr) {
    line += ",\"push\":";
    appendPush(line, *origin.push);
  }
  line += ",\"content\":";
  if (content != nullptr) {
    appendContent(line, *content);
  } else {
    line += "null";
  }
  line += '}';
  return line;
}

}  // namespace

std::string contentText(const UNNotificationContent& content) {
  std::string text;
  appendContent(text, content);
  return text;
}

std::string extensionLine(const std::string& id, int call, bool expired, bool shown,
                          const UNNotificationContent* content, LineOrigin origin) {
  std::string line = lineStart(id, "extension");
  line += ",\"call\":";
  line += std::to_string(call);
  line += ",\"expired\":";
  line += boolean(expired);
  line += ",\"shown\":";
  line += boolean(shown);
  return lineEnd(std::move(line), origin, content);
}

std::string originalLine(const std::string& id, const char* reason,
                         const UNNotificationContent& content, LineOrigin origin) {
  std::string line = lineStart(id, "original");
  line += ",\"reason\":";
  appendString(line, reason);
  line += ",\"shown\":true";
  return lineEnd(std::move(line), origin, &content);
}

std::string appLine(const std::string& id, const UNNotificationContent& content,
                    const PushHeaders& push) {
  std::string line = lineStart(id, "app");
  line += ",\"shown\":false";
  return lineEnd(std::move(line), {.push = &push, .replaces = nullptr}, &content);
}

}  // namespace host
