#include "host/Desktop.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "UserNotifications/UNNotificationAttachment.hpp"
#include "UserNotifications/UNNotificationContent.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

// The desktop's image is the first attachment of an image kind: a server given a sound or a
// clip as its image refuses it or shows it broken.
TEST(DesktopNotification, ShowsTheFirstImageAttachmentAsTheImage) {
  testing_support::TempDir dir;
  testing_support::writeFile(dir.file("picture.png"), testing_support::pngBytes());
  ASSERT_EQ(std::system(("ffmpeg -v error -f lavfi -i sine=duration=0.2 -c:a libmp3lame '" +
                         dir.file("sound.mp3") + "'")
                            .c_str()),
            0)
      << "needs ffmpeg (scripts/setup.sh)";
  const auto attach = [&](const char* name) {
    return UNNotificationAttachment::attachmentWithIdentifier(
        name, URL::fileURLWithPath(dir.file(name)), nullptr, nullptr);
  };
  const objc::Strong<UNNotificationAttachment> sound = attach("sound.mp3");
  const objc::Strong<UNNotificationAttachment> picture = attach("picture.png");
  ASSERT_TRUE(sound && picture);
  struct Row {
    const char* name;
    std::vector<objc::Strong<UNNotificationAttachment>> attachments;
    std::string imageURL;
  } const rows[] = {
      {"a sound, then an image", {sound, picture}, picture->url().absoluteString()},
      {"a sound alone", {sound}, ""},
      {"nothing", {}, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto content = objc::makeStrong<UNMutableNotificationContent>(
        user_notifications::ContentFields{}, row.attachments);
    EXPECT_EQ(host::desktopNotification(1, "r", *content).imageURL, row.imageURL);
  }
}

}  // namespace
