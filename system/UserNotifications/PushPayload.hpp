// Turning push input into requests: an APNs-style payload into a UNNotificationRequest, and
// one JSON Lines input line into an identifier and a payload. Stateless and thread-safe.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "UserNotifications/UNNotificationRequest.hpp"
#include "objc/Strong.hpp"

struct UNPushRequest {
  Strong<UNNotificationRequest> request;
  // aps.mutable-content is 1 and the alert has a title or a body: the extension may change
  // the content. Otherwise the content is shown as it arrived.
  bool mutableContent = false;
};

// The request for `payload`. The content comes from "aps": "alert" (a string is the body;
// an object gives "title", "subtitle", "body"), "badge", "sound", "thread-id", "category";
// userInfo is the whole payload. Absent, with `error` saying what is wrong, when the payload
// is not an object or one of those fields has the wrong type.
std::optional<UNPushRequest> UNPushRequestFromPayload(std::string identifier,
                                                      nlohmann::json payload, std::string* error);

// How deeply arrays and objects may nest in a payload. Content is copied and printed by
// recursive code, so a deeper payload (a 1 MiB line of "[") would exhaust a thread's stack.
inline constexpr int kUNMaximumPayloadDepth = 512;

// `text` parsed as JSON; absent, with `error` set, when it is not valid JSON or nests deeper
// than kUNMaximumPayloadDepth. The host reads every payload through here.
std::optional<nlohmann::json> UNParseJSON(std::string_view text, std::string* error);

struct UNInputLine {
  std::string identifier;
  nlohmann::json payload;
};

// One input line {"id": "...", "payload": {...}}; without "id" the identifier is the line
// number. Absent, with `error` set, when the line is not such an object.
std::optional<UNInputLine> UNParseInputLine(std::string_view line, std::size_t lineNumber,
                                            std::string* error);

// The content as the host prints it: title, subtitle, body, badge, sound, threadIdentifier,
// categoryIdentifier, userInfo, attachments [{identifier, url, type}].
nlohmann::ordered_json UNNotificationContentJSON(const UNNotificationContent& content);
