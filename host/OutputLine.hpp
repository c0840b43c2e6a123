// The lines the host writes on standard output, one JSON object each: a call of a request's
// content handler, the original content shown instead, or a push handed to the app. A push's
// lines carry what its headers said ("push"); the shown line of one that took the place of
// an earlier notification names it ("replaces"). Pure functions; thread-safe.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "UserNotifications/UNNotificationContent.hpp"
#include "host/Payload.hpp"

namespace host {

// The content as the host prints it: title, subtitle, body, badge, sound (null, a name, or for
// a critical alert's sound {critical, name, volume}), threadIdentifier, categoryIdentifier,
// interruptionLevel ("passive", "active", "timeSensitive", "critical"), relevanceScore,
// targetContentIdentifier and filterCriteria (null when absent), userInfo, attachments
// [{identifier, url, type}]; one JSON object.
std::string contentText(const UNNotificationContent& content);

// Where a line's request came from, beside its content: the push's headers (null for a
// request read from input) and the request whose notification its shown line replaces (null
// for none).
struct LineOrigin {
  const PushHeaders* push = nullptr;
  const std::string* replaces = nullptr;
};

// The line for one call of a request's content handler; `content` null prints as null.
std::string extensionLine(const std::string& id, int call, bool expired, bool shown,
                          const UNNotificationContent* content, LineOrigin origin = {});
// The line for a request's original content, shown by the host for `reason`
// ("not-mutable" or "no-delivery").
std::string originalLine(const std::string& id, const char* reason,
                         const UNNotificationContent& content, LineOrigin origin = {});
// The line for a push that is not an alert: handed to the app, not shown.
std::string appLine(const std::string& id, const UNNotificationContent& content,
                    const PushHeaders& push);

}  // namespace host
