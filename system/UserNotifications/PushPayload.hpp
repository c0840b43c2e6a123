// Turning push input into requests: an APNs-style payload into a UNNotificationRequest, and
// one JSON Lines input line into an identifier and a payload. Stateless and thread-safe.
//
// Every refusal is an NSError in NSCocoaErrorDomain with code NSPropertyListReadCorruptError
// (the code the platform gives JSON it cannot use) and a description saying what is wrong.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Foundation/NSError.hpp"
#include "UserNotifications/Export.hpp"
#include "UserNotifications/UNNotificationRequest.hpp"
#include "objc/Strong.hpp"

namespace usernotifications {

struct PushRequest {
  Strong<UNNotificationRequest> request;
  // aps.mutable-content is 1 and the alert has a title or a body: the extension may change
  // the content. Otherwise the content is shown as it arrived.
  bool mutableContent = false;
  // When the content may not change, why, in words; otherwise null.
  const char* notMutableReason = nullptr;
};

// The request for `payload`. The content comes from "aps": "alert" (a string is the body;
// an object gives "title", "subtitle", "body"), "badge", "sound", "thread-id", "category";
// userInfo is the whole payload. An error when the payload is not an object or one of those
// fields has the wrong type.
[[nodiscard]] UN_EXPORT foundation::Result<PushRequest> pushRequestFromPayload(
    std::string identifier, nlohmann::json payload);

// How deeply arrays and objects may nest in a payload. Content is copied and printed by
// recursive code, so a deeper payload (a 1 MiB line of "[") would exhaust a thread's stack.
inline constexpr int kMaximumPayloadDepth = 512;

// `text` parsed as JSON; an error when it is not valid JSON or nests deeper than
// kMaximumPayloadDepth. The host reads every payload through here.
[[nodiscard]] UN_EXPORT foundation::Result<nlohmann::json> parseJSON(std::string_view text);

struct InputLine {
  std::string identifier;
  nlohmann::json payload;
};

// One input line {"id": "...", "payload": {...}}; without "id" the identifier is the line
// number. An error when the line is not such an object.
[[nodiscard]] UN_EXPORT foundation::Result<InputLine> parseInputLine(std::string_view line,
                                                                     std::size_t lineNumber);

}  // namespace usernotifications
