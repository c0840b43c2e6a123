#include "host/Desktop.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "UserNotifications/AttachmentStore.hpp"
#include "UserNotifications/UNNotificationAttachment.hpp"
#include "UserNotifications/UNNotificationContent.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using user_notifications::AttachmentStore;

// The desktop's image is the first attachment of an image kind, or a frame of the first video
// made beside it in the store: a server given a sound or a clip as its image refuses it or
// shows it broken.
TEST(DesktopNotification, ShowsTheFirstImageOrAFrameOfTheFirstVideo) {
  testing_support::TempDir dir;
  testing_support::writeFile(dir.file("picture.png"), testing_support::pngBytes());
  ASSERT_EQ(std::system(("cd '" + dir.path() +
                         "' && ffmpeg -v error -f lavfi -i sine=duration=0.2 -c:a libmp3lame "
                         "sound.mp3 && ffmpeg -v error -f lavfi -i testsrc=size=64x48:duration=0.2 "
                         "clip.mp4")
                            .c_str()),
            0)
      << "needs ffmpeg (scripts/setup.sh)";
  foundation::Result<std::shared_ptr<AttachmentStore>> store =
      AttachmentStore::open(dir.file("store"), 1 << 30);
  ASSERT_TRUE(store.ok());
  const auto attach = [&](const char* name) {
    return UNNotificationAttachment::attachmentWithIdentifier(
        name, URL::fileURLWithPath(dir.file(name)), nullptr, nullptr);
  };
  const objc::Strong<UNNotificationAttachment> outside = attach("clip.mp4");
  AttachmentStore::setShared(*store);
  const objc::Strong<UNNotificationAttachment> sound = attach("sound.mp3");
  const objc::Strong<UNNotificationAttachment> picture = attach("picture.png");
  const objc::Strong<UNNotificationAttachment> clip = attach("clip.mp4");
  AttachmentStore::setShared(nullptr);
  ASSERT_TRUE(sound && picture && clip && outside);
  struct Row {
    const char* name;
    std::vector<objc::Strong<UNNotificationAttachment>> attachments;
    std::string imageURL, videoPath, thumbnailPath;
  } const rows[] = {
      {"a sound, then an image", {sound, picture}, picture->url().absoluteString(), "", ""},
      {"a sound alone", {sound}, "", "", ""},
      {"a video, then an image",
       {clip, picture},
       "",
       clip->url().path(),
       clip->url().path() + ".thumbnail.png"},
      // Nowhere to keep the frame: the store's limit would not count it.
      {"a video outside the store", {outside}, "", "", ""},
      {"nothing", {}, "", "", ""},
  };
  AttachmentStore::setShared(*store);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto content = objc::makeStrong<UNMutableNotificationContent>(
        user_notifications::ContentFields{}, row.attachments);
    const host::DesktopNotification shown = host::desktopNotification(1, "r", *content, nullptr);
    EXPECT_EQ(shown.imageURL, row.imageURL);
    EXPECT_EQ(shown.videoPath, row.videoPath);
    EXPECT_EQ(shown.thumbnailPath, row.thumbnailPath);
  }
  AttachmentStore::setShared(nullptr);
}

}  // namespace
