// What a Notify call to the freedesktop notification server carries for one desktop
// notification, made from the notification, the app's name and what the server said it can
// do. Plain values and a pure function; thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/DesktopPresenter.hpp"

namespace desktop_notifications {

// What the server answered to GetCapabilities and GetServerInformation at connect.
struct ServerInformation {
  std::vector<std::string> capabilities;  // "body", "body-markup", "actions", ...
  std::string specVersion;                // "1.2"

  bool hasCapability(std::string_view capability) const;
  // Whether the server follows a version of the notification protocol older than
  // `major`.`minor`; an unreadable version counts as current.
  bool specVersionBefore(int major, int minor) const;
};

// Notify's arguments apart from replaces_id, which the presenter knows, and those that never
// change (app_icon empty, no actions, expire_timeout -1).
struct NotifyArguments {
  std::string appName;
  std::string summary;
  std::string body;
  unsigned char urgency = 1;                                     // the "urgency" hint
  std::vector<std::pair<std::string, std::string>> stringHints;  // key, value; in order
};

// The summary is the title, or `appName` without one; the body holds the subtitle and the
// body, one line each, left out when empty, with markup characters escaped when the server
// reads markup. The urgency is the notification's. The image goes in "image-path" (and
// "image_path" for servers before 1.2); a sound file found in the app goes in "sound-file",
// and otherwise the "default" sound becomes the freedesktop sound name of a new message.
NotifyArguments notifyArguments(const host::DesktopNotification& notification,
                                const std::string& appName, const ServerInformation& server);

// `text` with '&', '<' and '>' written as entities, so that a server that reads markup shows
// it as written.
std::string escapeMarkup(std::string_view text);

}  // namespace desktop_notifications
