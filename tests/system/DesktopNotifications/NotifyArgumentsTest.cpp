// What dunst cannot show: servers without markup or on the 1.1 protocol, and the hints.
#include "DesktopNotifications/NotifyArguments.hpp"

#include <gtest/gtest.h>

namespace {

using desktopnotifications::notifyArguments;
using desktopnotifications::ServerInformation;
using Hints = std::vector<std::pair<std::string, std::string>>;

TEST(NotifyArguments, FollowTheServersMarkupAndVersion) {
  struct Row {
    ServerInformation server;
    std::optional<std::string> sound;
    std::string imageURL, body;
    Hints hints;
  };
  const Row rows[] = {
      {{{"body"}, "1.2"}, "default", "", "a<b & c", {{"sound-name", "message-new-instant"}}},
      {{{"body", "body-markup"}, "1.2"},
       "chime.caf",
       "file:///s/x.png",
       "a&lt;b &amp; c",
       {{"image-path", "file:///s/x.png"}}},
      {{{"body-markup"}, "1.1"},
       std::nullopt,
       "file:///s/x.png",
       "a&lt;b &amp; c",
       {{"image-path", "file:///s/x.png"}, {"image_path", "file:///s/x.png"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.server.specVersion + " " + row.body);
    auto arguments =
        notifyArguments({"id", "Title", "", "a<b & c", row.sound, row.imageURL}, "App", row.server);
    EXPECT_EQ(arguments.body, row.body);
    EXPECT_EQ(arguments.stringHints, row.hints);
  }
}

}  // namespace
