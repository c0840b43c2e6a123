// RequestCheck: the checks the push service makes of one request, as a pure function: the
// header list and the body in; the Push, or the status and reason it is answered with, out.
// What the connection knows (the device, the app's topic, how it authenticated, the verdict
// on its provider token) comes in a CheckContext. Stateless and thread-safe.
//
// The checks, in the order they are made (the first that fails gives the answer):
//   405 MethodNotAllowed      :method is not POST
//   404 BadPath               :path is not /3/device/...
//   400 MissingDeviceToken    nothing after /3/device/
//   400 BadDeviceToken        not hex, or not this device's token (any case, any length)
//   400 DuplicateHeaders      an apns-* header or authorization given twice
//   403/429 ...               the provider token's verdict (CheckContext::tokenRefusal)
//   400 BadMessageId          apns-id is not a UUID (8-4-4-4-12 hex digits)
//   400 InvalidPushType       apns-push-type is not one the service knows
//   400 MissingTopic          no apns-topic with token authentication
//   400 TopicDisallowed       a certificate's connection pushing outside its UID's topics
//   400 DeviceTokenNotForTopic  the topic is not the app's with the push type's suffix
//   400 BadPriority           not 10, 5 or 1; background not at 5
//   400 BadExpirationDate     apns-expiration is not a whole number of seconds
//   400 BadCollapseId         apns-collapse-id over 64 bytes
//   400 PayloadEmpty          no body
//   413 PayloadTooLarge       over 4,096 bytes (5,120 for voip)
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "host/gateway/PushSink.hpp"

namespace host::gateway {

struct Header {
  std::string name;  // lowercase, as HTTP/2 sends it; pseudo-headers start with ':'
  std::string value;
};

struct CheckContext {
  std::string_view deviceToken;  // lowercase hex
  std::string_view appTopic;     // the app's bundle identifier: com.halvicourt.app
  Authentication authentication = Authentication::none;
  // With certificate authentication: the subject UID, the topic the certificate may push to.
  std::string_view certificateTopic;
  // With token authentication: why the request's provider token is refused (403
  // MissingProviderToken, InvalidProviderToken, ExpiredProviderToken; 429
  // TooManyProviderTokenUpdates); absent when it is valid.
  std::optional<Answer> tokenRefusal;
  // The apns-id answered when the request has none, or one that is not a UUID.
  std::string_view newId;
};

struct Verdict {
  std::string apnsId;  // sent back in apns-id, whatever the answer
  Answer answer;       // status 200 exactly when `push` is set (before the sink's say)
  std::optional<Push> push;
};

// `body` becomes the push's payload.
Verdict checkRequest(std::span<const Header> headers, std::string body,
                     const CheckContext& context);

// The largest body a request with these headers may carry: 5,120 bytes for voip, 4,096
// otherwise. The connection reads no more than that and one frame.
std::size_t payloadLimit(std::span<const Header> headers);

// The suffix the topic of `pushType` carries after the app's (".voip" for voip; "" for alert
// and background); absent for a push type the service does not know.
std::optional<std::string_view> topicSuffix(std::string_view pushType);

// Whether `text` is a UUID in its canonical form, in either case.
bool isUuid(std::string_view text);

}  // namespace host::gateway
