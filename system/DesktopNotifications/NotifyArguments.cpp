#include "DesktopNotifications/NotifyArguments.hpp"

#include <algorithm>
#include <cstdio>

namespace desktop_notifications {

bool ServerInformation::hasCapability(std::string_view capability) const {
  return std::find(capabilities.begin(), capabilities.end(), capability) != capabilities.end();
}

bool ServerInformation::specVersionBefore(int major, int minor) const {
  int serverMajor = 0;
  int serverMinor = 0;
  if (std::sscanf(specVersion.c_str(), "%d.%d", &serverMajor, &serverMinor) != 2) return false;
  return serverMajor < major || (serverMajor == major && serverMinor < minor);
}

std::string escapeMarkup(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

NotifyArguments notifyArguments(const host::DesktopNotification& notification,
                                const std::string& appName, const ServerInformation& server) {
  NotifyArguments arguments{appName,
                            notification.title.empty() ? appName : notification.title,
                            "",
                            notification.urgency,
                            {}};
  const bool markup = server.hasCapability("body-markup");
  for (const std::string* line : {&notification.subtitle, &notification.body}) {
    if (line->empty()) continue;
    if (!arguments.body.empty()) arguments.body += '\n';
    arguments.body += markup ? escapeMarkup(*line) : *line;
  }
  if (!notification.imageURL.empty()) {
    arguments.stringHints.emplace_back("image-path", notification.imageURL);
    // Version 1.1 of the protocol spelt the hint with an underscore.
    if (server.specVersionBefore(1, 2)) {
      arguments.stringHints.emplace_back("image_path", notification.imageURL);
    }
  }
  if (!notification.soundFile.empty()) {
    arguments.stringHints.emplace_back("sound-file", notification.soundFile);
  } else if (notification.sound == "default") {
    arguments.stringHints.emplace_back("sound-name", "message-new-instant");
  }
  return arguments;
}

}  // namespace desktop_notifications
