#include "host/gateway/RequestCheck.hpp"

#include <algorithm>
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

// The one value of `name`, absent when not given. The caller has refused duplicates.
std::optional<std::string_view> valueOf(std::span<const Header> headers, std::string_view name) {
  for (const Header& header : headers) {
    if (header.name == name) return std::string_view(header.value);
  }
  return std::nullopt;
}

bool repeated(std::span<const Header> headers) {
  for (std::size_t i = 0; i < headers.size(); ++i) {
    const std::string& name = headers[i].name;
    if (!name.starts_with("apns-") && name != "authorization") continue;
    for (std::size_t j = i + 1; j < headers.size(); ++j) {
      if (headers[j].name == name) return true;
    }
  }
  return false;
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
  return valueOf(headers, "apns-push-type") == "voip" ? kVoipPayloadLimit : kPayloadLimit;
}

Verdict checkRequest(std::span<const Header> headers, std::string_view body,
                     const CheckContext& context) {
  std::string apnsId(context.newId);
  const std::optional<std::string_view> givenId = valueOf(headers, "apns-id");
  if (givenId && isUuid(*givenId)) apnsId = std::string(*givenId);

  if (valueOf(headers, ":method") != "POST") return refused(apnsId, 405, "MethodNotAllowed");
  const std::string_view path = valueOf(headers, ":path").value_or("");
  if (path == kDevicePath.substr(0, kDevicePath.size() - 1) || path == kDevicePath) {
    return refused(apnsId, 400, "MissingDeviceToken");
  }
  if (!path.starts_with(kDevicePath)) return refused(apnsId, 404, "BadPath");
  const std::string_view token = path.substr(kDevicePath.size());
  if (!std::all_of(token.begin(), token.end(), isHex) ||
      !equalsIgnoringCase(token, context.deviceToken)) {
    return refused(apnsId, 400, "BadDeviceToken");
  }
  if (repeated(headers)) return refused(apnsId, 400, "DuplicateHeaders");
  if (context.authentication == Authentication::token && context.tokenRefusal) {
    return refused(apnsId, context.tokenRefusal->status, context.tokenRefusal->reason);
  }
  if (givenId && !isUuid(*givenId)) return refused(apnsId, 400, "BadMessageId");

  Push push;
  push.apnsId = apnsId;
  push.authentication = context.authentication;
  push.pushType = std::string(valueOf(headers, "apns-push-type").value_or("alert"));
  const bool management = push.pushType == "mdm";
  const std::optional<std::string_view> suffix = topicSuffix(push.pushType);
  if (!suffix && !management) return refused(apnsId, 400, "InvalidPushType");

  const std::string_view base = context.authentication == Authentication::certificate
                                    ? context.certificateTopic
                                    : context.appTopic;
  if (const std::optional<std::string_view> topic = valueOf(headers, "apns-topic")) {
    push.topic = std::string(*topic);
  } else if (context.authentication == Authentication::token) {
    return refused(apnsId, 400, "MissingTopic");
  } else {
    push.topic = std::string(base) + std::string(suffix.value_or(""));
  }
  if (context.authentication == Authentication::certificate) {
    const std::string uid(context.certificateTopic);
    if (push.topic != uid && push.topic != uid + ".voip" && push.topic != uid + ".complication") {
      return refused(apnsId, 400, "TopicDisallowed");
    }
  }
  if (management || push.topic != std::string(context.appTopic) + std::string(*suffix)) {
    return refused(apnsId, 400, "DeviceTokenNotForTopic");
  }

  const bool background = push.pushType == "background";
  push.priority = background ? 5 : 10;
  if (const std::optional<std::string_view> priority = valueOf(headers, "apns-priority")) {
    if (*priority == "10") {
      push.priority = 10;
    } else if (*priority == "5") {
      push.priority = 5;
    } else if (*priority == "1") {
      push.priority = 1;
    } else {
      return refused(apnsId, 400, "BadPriority");
    }
    if (background && push.priority != 5) return refused(apnsId, 400, "BadPriority");
  }
  if (const std::optional<std::string_view> expiration = valueOf(headers, "apns-expiration")) {
    std::int64_t seconds = 0;
    const char* end = expiration->data() + expiration->size();
    const auto [stop, error] = std::from_chars(expiration->data(), end, seconds);
    if (expiration->empty() || (*expiration)[0] == '-' || error != std::errc() || stop != end) {
      return refused(apnsId, 400, "BadExpirationDate");
    }
    push.expiration = seconds;
  }
  if (const std::optional<std::string_view> collapseId = valueOf(headers, "apns-collapse-id")) {
    if (collapseId->size() > kCollapseIdLimit) return refused(apnsId, 400, "BadCollapseId");
    push.collapseId = std::string(*collapseId);
  }
  if (body.empty()) return refused(apnsId, 400, "PayloadEmpty");
  if (body.size() > payloadLimit(headers)) return refused(apnsId, 413, "PayloadTooLarge");
  push.payload = std::string(body);
  return {std::move(apnsId), Answer{}, std::move(push)};
}

}  // namespace host::gateway
