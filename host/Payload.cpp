#include "host/Payload.hpp"

#include <algorithm>
#include <array>
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

// The members named in `keys` of `object`, found in one pass over it: slot i is keys[i]'s
// value, or null when the object has none or a JSON null (which counts as none). A lookup of
// each key the reader knows cost more than the rest of reading a push.
template <std::size_t N>
std::array<const json*, N> membersOf(const json& object,
                                     const std::array<std::string_view, N>& keys) {
  std::array<const json*, N> found{};
  for (const auto& [key, value] : object.get_ref<const json::object_t&>()) {
    if (value.is_null()) continue;
    for (std::size_t i = 0; i < N; ++i) {
      if (key == keys[i]) {
        found[i] = &value;
        break;
      }
    }
  }
  return found;
}

// The member `key` of `object`, null when it has none or a JSON null.
const json* memberOf(const json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() || it->is_null() ? nullptr : &*it;
}

// Reads an optional string member `key` of the object at `where`, whose value is `value`
// (null when absent), into `out` (a std::string, or a std::optional<std::string>); an error
// when present but not a string.
template <class Out>
foundation::Status readString(const json* value, std::string_view where, std::string_view key,
                              Out* out) {
  if (value == nullptr) return {};
  if (!value->is_string()) {
    return corrupt(field(std::string(where) + std::string(key)) + " is not a string");
  }
  *out = value->get<std::string>();
  return {};
}

// Reads an optional number member as readString does; an error when present but not a
// number.
foundation::Status readNumber(const json* value, std::string_view where, std::string_view key,
                              std::optional<double>* out) {
  if (value == nullptr) return {};
  if (!value->is_number()) {
    return corrupt(field(std::string(where) + std::string(key)) + " is not a number");
  }
  *out = value->get<double>();
  return {};
}

// The members of an alert object, in the order of kAlertKeys.
enum AlertKey : std::size_t {
  kTitle,
  kTitleLocKey,
  kTitleLocArgs,
  kSubtitle,
  kSubtitleLocKey,
  kSubtitleLocArgs,
  kBody,
  kLocKey,
  kLocArgs,
  kAlertKeyCount,
};
constexpr std::array<std::string_view, kAlertKeyCount> kAlertKeys = {
    "title", "title-loc-key", "title-loc-args", "subtitle", "subtitle-loc-key", "subtitle-loc-args",
    "body",  "loc-key",       "loc-args"};
using AlertMembers = std::array<const json*, kAlertKeyCount>;

// One text of an alert object: its plain key, and the keys that localize it.
struct AlertText {
  AlertKey key;
  AlertKey locKey;
  AlertKey locArgs;
  std::string* out;
};

// The alert's text `text`: the localized string its loc-key names, formatted with its
// loc-args, or else its plain text.
foundation::Status readAlertText(const AlertMembers& alert, const AlertText& text) {
  if (foundation::Status read =
          readString(alert[text.key], "aps.alert.", kAlertKeys[text.key], text.out);
      !read.ok()) {
    return read;
  }
  std::optional<std::string> locKey;
  if (foundation::Status read =
          readString(alert[text.locKey], "aps.alert.", kAlertKeys[text.locKey], &locKey);
      !read.ok()) {
    return read;
  }
  std::vector<std::string> arguments;
  if (const json* args = alert[text.locArgs]) {
    const std::string name(kAlertKeys[text.locArgs]);
    if (!args->is_array()) return corrupt(field("aps.alert." + name) + " is not an array");
    for (std::size_t i = 0; i < args->size(); ++i) {
      const json& argument = (*args)[i];
      if (!argument.is_string()) {
        return corrupt(field("aps.alert." + name + "[" + std::to_string(i) + "]") +
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
foundation::Status readSound(const json* sound, objc::Strong<UNNotificationSound>* out) {
  if (sound == nullptr) return {};
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
  if (foundation::Status read = readString(memberOf(*sound, "name"), "aps.sound.", "name", &name);
      !read.ok()) {
    return read;
  }
  if (foundation::Status read =
          readNumber(memberOf(*sound, "critical"), "aps.sound.", "critical", &critical);
      !read.ok()) {
    return read;
  }
  if (foundation::Status read =
          readNumber(memberOf(*sound, "volume"), "aps.sound.", "volume", &volume);
      !read.ok()) {
    return read;
  }
  // Held to its range before it narrows to the platform's float, which 1e300 would overflow.
  const float audible = static_cast<float>(std::clamp(volume.value_or(1.0), 0.0, 1.0));
  if (!name.empty()) *out = named(name, critical == 1.0, audible);
  return {};
}

// The members of aps the reader knows, in the order of kApsKeys.
enum ApsKey : std::size_t {
  kAlert,
  kBadge,
  kSound,
  kThreadId,
  kCategory,
  kInterruptionLevel,
  kRelevanceScore,
  kTargetContentId,
  kFilterCriteria,
  kMutableContent,
  kApsKeyCount,
};
constexpr std::array<std::string_view, kApsKeyCount> kApsKeys = {
    "alert",           "badge",
    "sound",           "thread-id",
    "category",        "interruption-level",
    "relevance-score", "target-content-id",
    "filter-criteria", "mutable-content"};
using ApsMembers = std::array<const json*, kApsKeyCount>;

// What decides how the notification is presented: aps.interruption-level, relevance-score,
// target-content-id and filter-criteria. A level the platform does not know is the default,
// active, and a score outside 0 to 1 is the nearer end, so that a push meant for a newer or
// looser reader still arrives.
foundation::Status readPresentation(const ApsMembers& aps,
                                    user_notifications::ContentFields& fields) {
  std::optional<std::string> level;
  if (foundation::Status read =
          readString(aps[kInterruptionLevel], "aps.", kApsKeys[kInterruptionLevel], &level);
      !read.ok()) {
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
  if (foundation::Status read =
          readNumber(aps[kRelevanceScore], "aps.", kApsKeys[kRelevanceScore], &score);
      !read.ok()) {
    return read;
  }
  if (score) fields.relevanceScore = std::clamp(*score, 0.0, 1.0);
  if (foundation::Status read =
          readString(aps[kTargetContentId], "aps.", kApsKeys[kTargetContentId],
                     &fields.targetContentIdentifier);
      !read.ok()) {
    return read;
  }
  return readString(aps[kFilterCriteria], "aps.", kApsKeys[kFilterCriteria],
                    &fields.filterCriteria);
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
  auto found = payload.find("aps");
  if (found != payload.end() && !found->is_null()) {
    if (!found->is_object()) return corrupt(field("aps") + " is not an object");
    const ApsMembers aps = membersOf(*found, kApsKeys);
    if (const json* alert = aps[kAlert]) {
      if (alert->is_string()) {
        fields.body = alert->get<std::string>();
      } else if (alert->is_object()) {
        const AlertMembers members = membersOf(*alert, kAlertKeys);
        for (const AlertText& text :
             {AlertText{kTitle, kTitleLocKey, kTitleLocArgs, &fields.title},
              AlertText{kSubtitle, kSubtitleLocKey, kSubtitleLocArgs, &fields.subtitle},
              AlertText{kBody, kLocKey, kLocArgs, &fields.body}}) {
          if (foundation::Status read = readAlertText(members, text); !read.ok()) {
            return read.error();
          }
        }
      } else {
        return corrupt(field("aps.alert") + " is neither a string nor an object");
      }
    }
    if (const json* badge = aps[kBadge]) {
      if (!badge->is_number()) return corrupt(field("aps.badge") + " is not a number");
      fields.badge = *badge;
    }
    if (foundation::Status read = readSound(aps[kSound], &fields.sound); !read.ok()) {
      return read.error();
    }
    for (auto [key, text] : {std::pair{kThreadId, &fields.threadIdentifier},
                             std::pair{kCategory, &fields.categoryIdentifier}}) {
      if (foundation::Status read = readString(aps[key], "aps.", kApsKeys[key], text); !read.ok()) {
        return read.error();
      }
    }
    if (foundation::Status read = readPresentation(aps, fields); !read.ok()) return read.error();
    if (const json* mc = aps[kMutableContent]) {
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
