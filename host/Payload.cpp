#include "host/Payload.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "host/AppBundle.hpp"
#include "host/JsonReader.hpp"
#include "host/LocalizedAlert.hpp"

namespace host {

namespace {

using nlohmann::json;

NSError corrupt(std::string description) {
  return NSError{NSCocoaErrorDomain, NSPropertyListReadCorruptError, std::move(description)};
}

// `path` quoted, as every message names a field.
std::string field(const std::string& path) { return "\"" + path + "\""; }

// Reads an optional string member of the object at `where` into `out` (a std::string, or a
// std::optional<std::string>); an error when present but not a string.
template <class Out>
foundation::Status readString(const json& object, std::string_view where, const char* key,
                              Out* out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return {};
  if (!it->is_string()) return corrupt(field(std::string(where) + key) + " is not a string");
  *out = it->get<std::string>();
  return {};
}

// Reads an optional number member of the object at `where`; an error when present but not a
// number.
foundation::Status readNumber(const json& object, std::string_view where, const char* key,
                              std::optional<double>* out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return {};
  if (!it->is_number()) return corrupt(field(std::string(where) + key) + " is not a number");
  *out = it->get<double>();
  return {};
}

// One text of an alert object: its plain key, and the keys that localize it.
struct AlertText {
  const char* key;
  const char* locKey;
  const char* locArgs;
  std::string* out;
};

// The alert's text `text`: the localized string its loc-key names, formatted with its
// loc-args, or else its plain text.
foundation::Status readAlertText(const json& alert, const AlertText& text) {
  if (foundation::Status read = readString(alert, "aps.alert.", text.key, text.out); !read.ok()) {
    return read;
  }
  std::optional<std::string> locKey;
  if (foundation::Status read = readString(alert, "aps.alert.", text.locKey, &locKey); !read.ok()) {
    return read;
  }
  std::vector<std::string> arguments;
  if (auto args = alert.find(text.locArgs); args != alert.end() && !args->is_null()) {
    if (!args->is_array()) {
      return corrupt(field(std::string("aps.alert.") + text.locArgs) + " is not an array");
    }
    for (std::size_t i = 0; i < args->size(); ++i) {
      const json& argument = (*args)[i];
      if (!argument.is_string()) {
        return corrupt(
            field("aps.alert." + std::string(text.locArgs) + "[" + std::to_string(i) + "]") +
            " is not a string");
      }
      arguments.push_back(argument.get<std::string>());
    }
  }
  if (locKey) *text.out = localizedAlertString(appBundle(), *locKey, arguments);
  return {};
}

// aps.sound: a sound file's name ("default" for the system's), or a critical alert's sound as
// a dictionary of "critical" (1 for a critical sound), "name" and "volume" (0 to 1).
foundation::Status readSound(const json& aps, objc::Strong<UNNotificationSound>* out) {
  auto sound = aps.find("sound");
  if (sound == aps.end() || sound->is_null()) return {};
  const auto named = [](const std::string& name, bool critical, float volume) {
    if (critical) {
      return name == "default" ? UNNotificationSound::defaultCriticalSoundWithAudioVolume(volume)
                               : UNNotificationSound::criticalSoundNamed(name, volume);
    }
    return name == "default" ? UNNotificationSound::defaultSound()
                             : UNNotificationSound::soundNamed(name);
  };
  if (sound->is_string()) {
    // An empty name names no file: the notification is silent.
    if (!sound->get_ref<const std::string&>().empty()) {
      *out = named(sound->get<std::string>(), false, 1.0f);
    }
    return {};
  }
  if (!sound->is_object()) {
    return corrupt(field("aps.sound") + " is neither a string nor an object");
  }
  std::string name = "default";
  std::optional<double> critical;
  std::optional<double> volume;
  if (foundation::Status read = readString(*sound, "aps.sound.", "name", &name); !read.ok()) {
    return read;
  }
  if (foundation::Status read = readNumber(*sound, "aps.sound.", "critical", &critical);
      !read.ok()) {
    return read;
  }
  if (foundation::Status read = readNumber(*sound, "aps.sound.", "volume", &volume); !read.ok()) {
    return read;
  }
  // Held to its range before it narrows to the platform's float, which 1e300 would overflow.
  const float audible = static_cast<float>(std::clamp(volume.value_or(1.0), 0.0, 1.0));
  if (!name.empty()) *out = named(name, critical == 1.0, audible);
  return {};
}

// What decides how the notification is presented: aps.interruption-level, relevance-score,
// target-content-id and filter-criteria. A level the platform does not know is the default,
// active, and a score outside 0 to 1 is the nearer end, so that a push meant for a newer or
// looser reader still arrives.
foundation::Status readPresentation(const json& aps, user_notifications::ContentFields& fields) {
  std::optional<std::string> level;
  if (foundation::Status read = readString(aps, "aps.", "interruption-level", &level); !read.ok()) {
    return read;
  }
  for (auto [name, value] :
       {std::pair{"passive", UNNotificationInterruptionLevelPassive},
        std::pair{"active", UNNotificationInterruptionLevelActive},
        std::pair{"time-sensitive", UNNotificationInterruptionLevelTimeSensitive},
        std::pair{"critical", UNNotificationInterruptionLevelCritical}}) {
    if (level == name) fields.interruptionLevel = value;
  }
  std::optional<double> score;
  if (foundation::Status read = readNumber(aps, "aps.", "relevance-score", &score); !read.ok()) {
    return read;
  }
  if (score) fields.relevanceScore = std::clamp(*score, 0.0, 1.0);
  if (foundation::Status read =
          readString(aps, "aps.", "target-content-id", &fields.targetContentIdentifier);
      !read.ok()) {
    return read;
  }
  return readString(aps, "aps.", "filter-criteria", &fields.filterCriteria);
}

// `text` parsed as JSON whose values nest at most `maximumDepth` levels; an error when it is
// not valid JSON or nests deeper.
foundation::Result<json> parseJSON(std::string_view text, int maximumDepth) {
  // The parser takes a NUL byte for the end of the text and drops what follows; in JSON, a NUL
  // may only be written escaped, so one in the text is not JSON.
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    return corrupt("not valid JSON: a NUL byte at byte " + std::to_string(nul + 1));
  }
  // The reader stops where objects and arrays open too deep, before it has built them; the
  // rest of such a text is then only checked, so that invalid JSON is said first.
  json parsed;
  switch (readJSON(text, maximumDepth, parsed)) {
    case JsonRead::value:
      return parsed;
    case JsonRead::tooDeep:
      if (json::accept(text)) {
        return corrupt("nested deeper than " + std::to_string(kMaximumPayloadDepth) + " levels");
      }
      break;
    case JsonRead::invalid:
      break;
  }
  return corrupt("not valid JSON");
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
        for (const AlertText& text :
             {AlertText{"title", "title-loc-key", "title-loc-args", &fields.title},
              AlertText{"subtitle", "subtitle-loc-key", "subtitle-loc-args", &fields.subtitle},
              AlertText{"body", "loc-key", "loc-args", &fields.body}}) {
          if (foundation::Status read = readAlertText(*alert, text); !read.ok()) {
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
    if (foundation::Status read = readSound(*aps, &fields.sound); !read.ok()) return read.error();
    for (auto [key, text] : {std::pair{"thread-id", &fields.threadIdentifier},
                             std::pair{"category", &fields.categoryIdentifier}}) {
      if (foundation::Status read = readString(*aps, "aps.", key, text); !read.ok()) {
        return read.error();
      }
    }
    if (foundation::Status read = readPresentation(*aps, fields); !read.ok()) return read.error();
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
