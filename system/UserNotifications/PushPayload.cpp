#include "UserNotifications/PushPayload.hpp"

#include <utility>

namespace {

using nlohmann::json;

// Reads an optional string member; false (with `error`) when present but not a string.
bool readString(const json& object, const char* key, const std::string& where, std::string* out,
                std::string* error) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_string()) {
    *error = where + "\"" + key + "\" is not a string";
    return false;
  }
  *out = it->get<std::string>();
  return true;
}

}  // namespace

std::optional<UNPushRequest> UNPushRequestFromPayload(std::string identifier, json payload,
                                                      std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (!payload.is_object()) {
    *error = "payload is not a JSON object";
    return std::nullopt;
  }
  UNNotificationContentFields fields;
  bool mutableContent = false;
  auto aps = payload.find("aps");
  if (aps != payload.end() && !aps->is_null()) {
    if (!aps->is_object()) {
      *error = "\"aps\" is not an object";
      return std::nullopt;
    }
    if (auto alert = aps->find("alert"); alert != aps->end() && !alert->is_null()) {
      if (alert->is_string()) {
        fields.body = alert->get<std::string>();
      } else if (alert->is_object()) {
        if (!readString(*alert, "title", "aps.alert.", &fields.title, error) ||
            !readString(*alert, "subtitle", "aps.alert.", &fields.subtitle, error) ||
            !readString(*alert, "body", "aps.alert.", &fields.body, error)) {
          return std::nullopt;
        }
      } else {
        *error = "\"aps.alert\" is neither a string nor an object";
        return std::nullopt;
      }
    }
    if (auto badge = aps->find("badge"); badge != aps->end() && !badge->is_null()) {
      if (!badge->is_number()) {
        *error = "\"aps.badge\" is not a number";
        return std::nullopt;
      }
      fields.badge = *badge;
    }
    if (auto sound = aps->find("sound"); sound != aps->end()) fields.sound = *sound;
    if (!readString(*aps, "thread-id", "aps.", &fields.threadIdentifier, error) ||
        !readString(*aps, "category", "aps.", &fields.categoryIdentifier, error)) {
      return std::nullopt;
    }
    if (auto mc = aps->find("mutable-content"); mc != aps->end() && !mc->is_null()) {
      if (!mc->is_number()) {
        *error = "\"aps.mutable-content\" is not a number";
        return std::nullopt;
      }
      mutableContent = *mc == 1;
    }
  }
  mutableContent = mutableContent && (!fields.title.empty() || !fields.body.empty());
  fields.userInfo = std::move(payload);
  auto content = makeStrong<UNNotificationContent>(std::move(fields));
  return UNPushRequest{makeStrong<UNNotificationRequest>(std::move(identifier), std::move(content)),
                       mutableContent};
}

std::optional<json> UNParseJSON(std::string_view text, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  // The parser itself keeps its own stack, so it reads any depth; values past the limit are
  // dropped as they are read, and the whole text is then refused.
  bool tooDeep = false;
  json parsed = json::parse(
      text,
      [&tooDeep](int depth, json::parse_event_t, json&) {
        if (depth <= kUNMaximumPayloadDepth) return true;
        tooDeep = true;
        return false;
      },
      /*allow_exceptions=*/false);
  if (parsed.is_discarded()) {
    *error = "not valid JSON";
    return std::nullopt;
  }
  if (tooDeep) {
    *error = "nested deeper than " + std::to_string(kUNMaximumPayloadDepth) + " levels";
    return std::nullopt;
  }
  return parsed;
}

std::optional<UNInputLine> UNParseInputLine(std::string_view line, std::size_t lineNumber,
                                            std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  std::optional<json> text = UNParseJSON(line, error);
  if (!text) return std::nullopt;
  json& parsed = *text;
  if (!parsed.is_object()) {
    *error = "not a JSON object";
    return std::nullopt;
  }
  UNInputLine out;
  if (auto ident = parsed.find("id"); ident != parsed.end()) {
    if (!ident->is_string()) {
      *error = "\"id\" is not a string";
      return std::nullopt;
    }
    out.identifier = ident->get<std::string>();
  } else {
    out.identifier = std::to_string(lineNumber);
  }
  auto payload = parsed.find("payload");
  if (payload == parsed.end()) {
    *error = "no \"payload\"";
    return std::nullopt;
  }
  if (!payload->is_object()) {
    *error = "\"payload\" is not a JSON object";
    return std::nullopt;
  }
  out.payload = std::move(*payload);
  return out;
}

nlohmann::ordered_json UNNotificationContentJSON(const UNNotificationContent& content) {
  using ojson = nlohmann::ordered_json;
  ojson attachments = ojson::array();
  for (const Strong<UNNotificationAttachment>& a : content.attachments()) {
    attachments.push_back(
        {{"identifier", a->identifier()}, {"url", a->url().absoluteString()}, {"type", a->type()}});
  }
  return ojson{{"title", content.title()},
               {"subtitle", content.subtitle()},
               {"body", content.body()},
               {"badge", ojson(content.badge())},
               {"sound", ojson(content.sound())},
               {"threadIdentifier", content.threadIdentifier()},
               {"categoryIdentifier", content.categoryIdentifier()},
               {"userInfo", ojson(content.userInfo())},
               {"attachments", std::move(attachments)}};
}
