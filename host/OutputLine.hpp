// The lines the host writes on standard output, one JSON object each: a call of a request's
// content handler, or the original content shown instead. Pure functions; thread-safe.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "UserNotifications/UNNotificationContent.hpp"

namespace host {

// The content as the host prints it: title, subtitle, body, badge, sound (null, a name, or for
// a critical alert's sound {critical, name, volume}), threadIdentifier, categoryIdentifier,
// interruptionLevel ("passive", "active", "timeSensitive", "critical"), relevanceScore,
// targetContentIdentifier and filterCriteria (null when absent), userInfo, attachments
// [{identifier, url, type}].
nlohmann::ordered_json contentJSON(const UNNotificationContent& content);

// The line for one call of a request's content handler; `content` null prints as null.
std::string extensionLine(const std::string& id, int call, bool expired, bool shown,
                          const UNNotificationContent* content);
// The line for a request's original content, shown by the host for `reason`
// ("not-mutable" or "no-delivery").
std::string originalLine(const std::string& id, const char* reason,
                         const UNNotificationContent& content);

}  // namespace host
