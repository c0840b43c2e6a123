#include "host/Payload.hpp"

#include <optional>
#include <utility>

namespace host {

namespace {

using nlohmann::json;

NSError corrupt(std::string description) {
  return NSError{NSCocoaErrorDomain, NSPropertyListReadCorruptError, std::move(description)};
}

// `path` quoted, as every message names a field.
std::string field(const std::string& path) { return "\"" + path + "\""; }

// Reads an optional string member of the object at `where`; an error when present but not a
// string.
foundation::Status readString(const json& object, const std::string& where, const char* key,
                              std::string* out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return {};
  if (!it->is_string()) return corrupt(field(where + key) + " is not a string");
  *out = it->get<std::string>();
  return {};
}

// `text` parsed as JSON whose values nest at most `maximumDepth` levels; an error when it is
// not valid JSON or nests deeper.
foundation::Result<json> parseJSON(std::string_view text, int maximumDepth) {
  // The parser takes a NUL byte for the end of the text and drops what follows; in JSON, a NUL
  // may only be written escaped, so one in the text is not JSON.
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    return corrupt("not valid JSON: a NUL byte at byte " + std::to_string(nul + 1));
  }
  // The parser itself keeps its own stack, so it reads any depth; values past the limit are
  // dropped as they are read, and the whole text is then refused.
  bool tooDeep = false;
  json parsed = json::parse(
      text,
      [&tooDeep, maximumDepth](int depth, json::parse_event_t event, json&) {
        // An object or array starts at its parent's depth: the outermost one at 0.
        const bool opens =
            event == json::parse_event_t::object_start || event == json::parse_event_t::array_start;
        if (!opens || depth < maximumDepth) return true;
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

}  // namespace

foundation::Result<PushRequest> requestFromPayload(std::string identifier, json payload) {
  if (!payload.is_object()) return corrupt("payload is not a JSON object");
  user_notifications::ContentFields fields;
  bool mutableContent = false;
  auto aps = payload.find("aps");
  if (aps != payload.end() && !aps->is_null()) {
    if (!aps->is_object()) return corrupt(field("aps") + " is not an object");
    if (auto alert = aps->find("alert"); alert != aps->end() && !alert->is_null()) {
      if (alert->is_string()) {
        fields.body = alert->get<std::string>();
      } else if (alert->is_object()) {
        for (auto [key, text] :
             {std::pair{"title", &fields.title}, std::pair{"subtitle", &fields.subtitle},
              std::pair{"body", &fields.body}}) {
          if (foundation::Status read = readString(*alert, "aps.alert.", key, text); !read.ok()) {
            return read.error();
          }
        }
      } else {
        return corrupt(field("aps.alert") + " is neither a string nor an object");
      }
    }
    if (auto badge = aps->find("badge"); badge != aps->end() && !badge->is_null()) {
      if (!badge->is_number()) return corrupt(field("aps.badge") + " is not a number");
      fields.badge = *badge;
    }
    if (auto sound = aps->find("sound"); sound != aps->end() && !sound->is_null()) {
      if (!sound->is_string() && !sound->is_object()) {
        return corrupt(field("aps.sound") + " is neither a string nor an object");
      }
      fields.sound = *sound;
    }
    for (auto [key, text] : {std::pair{"thread-id", &fields.threadIdentifier},
                             std::pair{"category", &fields.categoryIdentifier}}) {
      if (foundation::Status read = readString(*aps, "aps.", key, text); !read.ok()) {
        return read.error();
      }
    }
    if (auto mc = aps->find("mutable-content"); mc != aps->end() && !mc->is_null()) {
      if (!mc->is_number()) return corrupt(field("aps.mutable-content") + " is not a number");
      mutableContent = *mc == 1;
    }
  }
  const char* notMutableReason = !mutableContent ? "mutable-content is not 1"
                                 : fields.title.empty() && fields.body.empty()
                                     ? "the alert has no title or body"
                                     : nullptr;
  fields.userInfo = std::move(payload);
  auto content = objc::makeStrong<UNNotificationContent>(std::move(fields));
  return PushRequest{
      objc::makeStrong<UNNotificationRequest>(std::move(identifier), std::move(content)),
      notMutableReason == nullptr, notMutableReason};
}

foundation::Result<PushRequest> requestFromPayloadText(std::string identifier,
                                                       std::string_view text) {
  foundation::Result<json> payload = parseJSON(text, kMaximumPayloadDepth);
  if (!payload.ok()) return payload.error();
  return requestFromPayload(std::move(identifier), *std::move(payload));
}

foundation::Result<PushRequest> requestFromLine(std::string_view line, std::size_t number) {
  // The envelope is one level more; the payload inside it may nest as deeply as in a file.
  foundation::Result<json> text = parseJSON(line, kMaximumPayloadDepth + 1);
  if (!text.ok()) return text.error();
  json& parsed = *text;
  if (!parsed.is_object()) return corrupt("not a JSON object");
  std::string identifier;
  if (auto ident = parsed.find("id"); ident != parsed.end()) {
    if (!ident->is_string()) return corrupt(field("id") + " is not a string");
    identifier = ident->get<std::string>();
  } else {
    identifier = std::to_string(number);
  }
  auto payload = parsed.find("payload");
  if (payload == parsed.end()) return corrupt("no " + field("payload"));
  if (!payload->is_object()) return corrupt(field("payload") + " is not a JSON object");
  return requestFromPayload(std::move(identifier), std::move(*payload));
}

}  // namespace host
