#include "UserNotifications/PushPayload.hpp"

#include <optional>
#include <utility>

namespace usernotifications {

namespace {

using nlohmann::json;

NSError corrupt(std::string description) {
  return NSError{NSCocoaErrorDomain, NSPropertyListReadCorruptError, std::move(description)};
}

// Reads an optional string member; an error when present but not a string.
std::optional<NSError> readString(const json& object, const char* key, const char* where,
                                  std::string* out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) return corrupt(std::string(where) + "\"" + key + "\" is not a string");
  *out = it->get<std::string>();
  return std::nullopt;
}

}  // namespace

foundation::Result<PushRequest> pushRequestFromPayload(std::string identifier, json payload) {
  if (!payload.is_object()) return corrupt("payload is not a JSON object");
  UNNotificationContentFields fields;
  bool mutableContent = false;
  auto aps = payload.find("aps");
  if (aps != payload.end() && !aps->is_null()) {
    if (!aps->is_object()) return corrupt("\"aps\" is not an object");
    if (auto alert = aps->find("alert"); alert != aps->end() && !alert->is_null()) {
      if (alert->is_string()) {
        fields.body = alert->get<std::string>();
      } else if (alert->is_object()) {
        for (auto [key, field] :
             {std::pair{"title", &fields.title}, std::pair{"subtitle", &fields.subtitle},
              std::pair{"body", &fields.body}}) {
          if (std::optional<NSError> error = readString(*alert, key, "aps.alert.", field)) {
            return *std::move(error);
          }
        }
      } else {
        return corrupt("\"aps.alert\" is neither a string nor an object");
      }
    }
    if (auto badge = aps->find("badge"); badge != aps->end() && !badge->is_null()) {
      if (!badge->is_number()) return corrupt("\"aps.badge\" is not a number");
      fields.badge = *badge;
    }
    if (auto sound = aps->find("sound"); sound != aps->end()) fields.sound = *sound;
    for (auto [key, field] : {std::pair{"thread-id", &fields.threadIdentifier},
                              std::pair{"category", &fields.categoryIdentifier}}) {
      if (std::optional<NSError> error = readString(*aps, key, "aps.", field)) {
        return *std::move(error);
      }
    }
    if (auto mc = aps->find("mutable-content"); mc != aps->end() && !mc->is_null()) {
      if (!mc->is_number()) return corrupt("\"aps.mutable-content\" is not a number");
      mutableContent = *mc == 1;
    }
  }
  const char* notMutableReason = !mutableContent ? "mutable-content is not 1"
                                 : fields.title.empty() && fields.body.empty()
                                     ? "the alert has no title or body"
                                     : nullptr;
  fields.userInfo = std::move(payload);
  auto content = makeStrong<UNNotificationContent>(std::move(fields));
  return PushRequest{makeStrong<UNNotificationRequest>(std::move(identifier), std::move(content)),
                     notMutableReason == nullptr, notMutableReason};
}

foundation::Result<json> parseJSON(std::string_view text) {
  // The parser itself keeps its own stack, so it reads any depth; values past the limit are
  // dropped as they are read, and the whole text is then refused.
  bool tooDeep = false;
  json parsed = json::parse(
      text,
      [&tooDeep](int depth, json::parse_event_t, json&) {
        if (depth <= kMaximumPayloadDepth) return true;
        tooDeep = true;
        return false;
      },
      /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return corrupt("not valid JSON");
  if (tooDeep) {
    return corrupt("nested deeper than " + std::to_string(kMaximumPayloadDepth) + " levels");
  }
  return parsed;
}

foundation::Result<InputLine> parseInputLine(std::string_view line, std::size_t lineNumber) {
  foundation::Result<json> text = parseJSON(line);
  if (!text.ok()) return text.error();
  json& parsed = *text;
  if (!parsed.is_object()) return corrupt("not a JSON object");
  InputLine out;
  if (auto ident = parsed.find("id"); ident != parsed.end()) {
    if (!ident->is_string()) return corrupt("\"id\" is not a string");
    out.identifier = ident->get<std::string>();
  } else {
    out.identifier = std::to_string(lineNumber);
  }
  auto payload = parsed.find("payload");
  if (payload == parsed.end()) return corrupt("no \"payload\"");
  if (!payload->is_object()) return corrupt("\"payload\" is not a JSON object");
  out.payload = std::move(*payload);
  return out;
}

}  // namespace usernotifications
