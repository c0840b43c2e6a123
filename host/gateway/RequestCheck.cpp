#include "host/gateway/RequestCheck.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>

namespace host::gateway {

namespace {

constexpr std::string_view kDevicePath = "/3/device/";
constexpr std::size_t kPayloadLimit = 4096;
constexpr std::size_t kVoipPayloadLimit = 5120;
constexpr std::size_t kCollapseIdLimit = 64;

struct PushType {
  std::string_view name;
  std::string_view topicSuffix;
};
// As the service documents them. mdm is known, but its topic is a management profile's,
// which this device has none of: such a push is never for this device's topic.
constexpr PushType kPushTypes[] = {
    {"alert", ""},
    {"background", ""},
    {"voip", ".voip"},
    {"complication", ".complication"},
    {"fileprovider", ".pushkit.fileprovider"},
    {"liveactivity", ".push-type.liveactivity"},
    {"location", ".location-query"},
    {"pushtotalk", ".voip-ptt"},
    {"widgets", ".push-type.widgets"},
};

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

// The headers the check reads.
enum Field : std::uint8_t {
  kMethod,
  kPath,
  kApnsId,
  kTopic,
  kPushType,
  kPriority,
  kExpiration,
  kCollapseId,
  kAuthorization,
  kFieldCount,
  kOtherApns,  // an apns-* header the service does not read
  kOther,
};

Field fieldOf(std::string_view name) {
  // By length first: a request has a dozen headers, and each is looked at once.
  switch (name.size()) {
    case 5:
      if (name == ":path") return kPath;
      break;
    case 7:
      if (name == ":method") return kMethod;
      if (name == "apns-id") return kApnsId;
      break;
    case 10:
      if (name == "apns-topic") return kTopic;
      break;
    case 13:
      if (name == "apns-priority") return kPriority;
      if (name == "authorization") return kAuthorization;
      break;
    case 14:
      if (name == "apns-push-type") return kPushType;
      break;
    case 15:
      if (name == "apns-expiration") return kExpiration;
      break;
    case 16:
      if (name == "apns-collapse-id") return kCollapseId;
      break;
    default:
      break;
  }
  return name.starts_with("apns-") ? kOtherApns : kOther;
}

// Each header the check reads, by its first value, found in one pass; and whether an apns-*
// header or authorization came twice.
struct Fields {
  std::array<std::optional<std::string_view>, kFieldCount> value;
  bool repeated = false;

  explicit Fields(std::span<const Header> headers) {
    bool otherApns = false;
    for (const Header& header : headers) {
      const Field field = fieldOf(header.name);
      if (field == kOtherApns) otherApns = true;
      if (field >= kFieldCount) continue;
      if (value[field]) {
        repeated = repeated || (field != kMethod && field != kPath);
      } else {
        value[field] = header.value;
      }
    }
    if (otherApns && !repeated) repeated = otherApnsRepeated(headers);
  }

  std::optional<std::string_view> operator[](Field field) const { return value[field]; }

 private:
  // Rare: a header the service does not read, given twice.
  static bool otherApnsRepeated(std::span<const Header> headers) {
    for (std::size_t i = 0; i < headers.size(); ++i) {
      if (fieldOf(headers[i].name) != kOtherApns) continue;
      for (std::size_t j = i + 1; j < headers.size(); ++j) {
        if (headers[j].name == headers[i].name) return true;
      }
    }
    return false;
  }
};

// The largest body a push of `pushType` may carry.
std::size_t limitOf(std::string_view pushType) {
  return pushType == "voip" ? kVoipPayloadLimit : kPayloadLimit;
}

// `text` is `head` followed by `tail`, without building it.
bool isJoined(std::string_view text, std::string_view head, std::string_view tail) {
  return text.size() == head.size() + tail.size() && text.starts_with(head) && text.ends_with(tail);
}

Verdict refused(std::string apnsId, int status, std::string reason) {
  return {std::move(apnsId), Answer{status, std::move(reason)}, std::nullopt};
}

}  // namespace

std::string_view authenticationName(Authentication authentication) {
  switch (authentication) {
    case Authentication::token:
      return "token";
    case Authentication::certificate:
      return "certificate";
    case Authentication::none:
      break;
  }
  return "none";
}

bool isUuid(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !isHex(text[i])) return false;
  }
  return true;
}

std::optional<std::string_view> topicSuffix(std::string_view pushType) {
  for (const PushType& type : kPushTypes) {
    if (type.name == pushType) return type.topicSuffix;
  }
  return std::nullopt;
}

std::size_t payloadLimit(std::span<const Header> headers) {
  for (const Header& header : headers) {
    if (header.name == "apns-push-type") return limitOf(header.value);
  }
  return kPayloadLimit;
}

Verdict checkRequest(std::span<const Header> headers, std::string body,
                     const CheckContext& context) {
  const Fields fields(headers);
  const std::optional<std::string_view> givenId = fields[kApnsId];
  const bool idGiven = givenId && isUuid(*givenId);
  std::string apnsId(idGiven ? *givenId : context.newId);

  if (fields[kMethod] != "POST") return refused(apnsId, 405, "MethodNotAllowed");
  const std::string_view path = fields[kPath].value_or("");
  if (path == kDevicePath.substr(0, kDevicePath.size() - 1) || path == kDevicePath) {
    return refused(apnsId, 400, "MissingDeviceToken");
  }
  if (!path.starts_with(kDevicePath)) return refused(apnsId, 404, "BadPath");
  const std::string_view token = path.substr(kDevicePath.size());
  // The device's own token, as providers send it, is hex already: compared in one piece first.
  if (token != context.deviceToken && (!std::all_of(token.begin(), token.end(), isHex) ||
                                       !equalsIgnoringCase(token, context.deviceToken))) {
    return refused(apnsId, 400, "BadDeviceToken");
  }
  if (fields.repeated) return refused(apnsId, 400, "DuplicateHeaders");
  if (context.authentication == Authentication::token && context.tokenRefusal) {
    return refused(apnsId, context.tokenRefusal->status, context.tokenRefusal->reason);
  }
  if (givenId && !idGiven) return refused(apnsId, 400, "BadMessageId");

  const std::string_view pushType = fields[kPushType].value_or("alert");
  const bool management = pushType == "mdm";
  const std::optional<std::string_view> suffix = topicSuffix(pushType);
  if (!suffix && !management) return refused(apnsId, 400, "InvalidPushType");

  const std::string_view base = context.authentication == Authentication::certificate
                                    ? context.certificateTopic
                                    : context.appTopic;
  std::string topic;
  if (const std::optional<std::string_view> given = fields[kTopic]) {
    topic = *given;
  } else if (context.authentication == Authentication::token) {
    return refused(apnsId, 400, "MissingTopic");
  } else {
    topic.reserve(base.size() + suffix.value_or("").size());
    topic.append(base).append(suffix.value_or(""));
  }
  if (context.authentication == Authentication::certificate) {
    const std::string_view uid = context.certificateTopic;
    if (topic != uid && !isJoined(topic, uid, ".voip") && !isJoined(topic, uid, ".complication")) {
      return refused(apnsId, 400, "TopicDisallowed");
    }
  }
  if (management || !isJoined(topic, context.appTopic, *suffix)) {
    return refused(apnsId, 400, "DeviceTokenNotForTopic");
  }

  const bool background = pushType == "background";
  int priority = background ? 5 : 10;
  if (const std::optional<std::string_view> given = fields[kPriority]) {
    if (*given == "10") {
      priority = 10;
    } else if (*given == "5") {
      priority = 5;
    } else if (*given == "1") {
      priority = 1;
    } else {
      return refused(apnsId, 400, "BadPriority");
    }
    if (background && priority != 5) return refused(apnsId, 400, "BadPriority");
  }
  std::optional<std::int64_t> expiration;
  if (const std::optional<std::string_view> given = fields[kExpiration]) {
    std::int64_t seconds = 0;
    const char* end = given->data() + given->size();
    const auto [stop, error] = std::from_chars(given->data(), end, seconds);
    if (given->empty() || (*given)[0] == '-' || error != std::errc() || stop != end) {
      return refused(apnsId, 400, "BadExpirationDate");
    }
    expiration = seconds;
  }
  const std::string_view collapseId = fields[kCollapseId].value_or("");
  if (collapseId.size() > kCollapseIdLimit) return refused(apnsId, 400, "BadCollapseId");
  if (body.empty()) return refused(apnsId, 400, "PayloadEmpty");
  if (body.size() > limitOf(pushType)) return refused(apnsId, 413, "PayloadTooLarge");

  Push push;
  push.apnsId = apnsId;
  push.topic = std::move(topic);
  push.pushType = std::string(pushType);
  push.priority = priority;
  push.expiration = expiration;
  push.collapseId = std::string(collapseId);
  push.authentication = context.authentication;
  push.payload = std::move(body);
  return {std::move(apnsId), Answer{}, std::move(push)};
}

}  // namespace host::gateway
