// What dunst cannot show: a server without markup or on the 1.1 protocol, and the hints.
#include "DesktopNotifications/NotifyArguments.hpp"

#include <gtest/gtest.h>

namespace {

TEST(NotifyArguments, FollowTheServersMarkupAndVersion) {
  const std::string image = "file:///s/x.png";
  const struct {
    desktop_notifications::ServerInformation server;
    std::string sound, soundFile, body;
    std::vector<std::pair<std::string, std::string>> hints;
  } rows[] = {
      {{{"body"}, "1.1"},
       "default",
       "",
       "a<b & c",
       {{"image-path", image}, {"image_path", image}, {"sound-name", "message-new-instant"}}},
      {{{"body", "body-markup"}, "1.2"},
       "chime.caf",
       "",
       "a&lt;b &amp; c",
       {{"image-path", image}}},
      // A sound the app has is played from its file.
      {{{"body"}, "1.2"},
       "chime.wav",
       "/app/chime.wav",
       "a<b & c",
       {{"image-path", image}, {"sound-file", "/app/chime.wav"}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.server.specVersion + " " + row.body + " " + row.sound);
    host::DesktopNotification notification{1, "id", "Title", "", "a<b & c", row.sound, image};
    notification.soundFile = row.soundFile;
    auto arguments = desktop_notifications::notifyArguments(notification, "App", row.server);
    EXPECT_EQ(arguments.body, row.body);
    EXPECT_EQ(arguments.stringHints, row.hints);
  }
}

}  // namespace
