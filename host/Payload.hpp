// Turning push input into requests: an APNs-style payload into a UNNotificationRequest, from a
// payload file's text or from one JSON Lines input line ({"id": "...", "payload": {...}}).
// Stateless and thread-safe.
//
// Every refusal is an NSError in NSCocoaErrorDomain with code NSPropertyListReadCorruptError
// (the code the platform gives JSON it cannot use) and a description saying what is wrong,
// naming a field by its path in quotes: "aps.alert.title".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Foundation/NSError.hpp"
#include "System/os_activity.hpp"
#include "UserNotifications/UNNotificationRequest.hpp"
#include "objc/Strong.hpp"

namespace host {

// What the push service's headers said of a push that came through the gateway (--listen).
struct PushHeaders {
  std::string apnsId;
  std::string uniqueId;
  std::string topic;
  std::string pushType;  // "alert" when the push named none
  int priority = 10;
  std::optional<std::int64_t> expiration;  // seconds since the epoch
  std::string collapseId;                  // "" when absent
};

struct PushRequest {
  objc::Strong<UNNotificationRequest> request;
  // aps.mutable-content is 1 and the alert has a title or a body: the extension may change the
  // content. Otherwise the content is shown as it arrived.
  bool mutableContent = false;
  // When the content may not change, why, in words; otherwise null.
  const char* notMutableReason = nullptr;
  // Set for a push: its request identifier is then its apns-id.
  std::optional<PushHeaders> push = std::nullopt;
  // The activity the request's events are logged under; when none, the host makes one
  // described by the identifier. A push brings the one the gateway logged it under.
  os_activity_t activity = nullptr;
};

// How deeply arrays and objects may nest in a payload, the payload itself counted as the first
// level. Content is copied and printed by recursive code, so a deeper payload (a 1 MiB line of
// "[") would exhaust a thread's stack.
inline constexpr int kMaximumPayloadDepth = 512;

// The request for `payload`. The content comes from "aps": "alert" (a string is the body; an
// object gives "title", "subtitle", "body", or their localized forms "title-loc-key",
// "subtitle-loc-key", "loc-key" with their "-args", resolved against the app's strings tables:
// host/LocalizedAlert.hpp), "badge", "sound" (a name, or a critical alert's dictionary),
// "thread-id", "category", "interruption-level", "relevance-score", "target-content-id",
// "filter-criteria"; userInfo is the whole payload. An error when the payload is not an object
// or one of those fields has the wrong type; null counts as absent.
foundation::Result<PushRequest> requestFromPayload(std::string identifier, nlohmann::json payload);

// The request whose payload is the JSON text `text` (a payload file, a pushed body).
foundation::Result<PushRequest> requestFromPayloadText(std::string identifier,
                                                       std::string_view text);

// The request of input line `number`, {"id": "...", "payload": {...}}; without "id" the
// identifier is the line number.
foundation::Result<PushRequest> requestFromLine(std::string_view line, std::size_t number);

}  // namespace host
