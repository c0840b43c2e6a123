// A video's frame through the real plug-in and libffmpegthumbnailer: written whole, or not at
// all when the file holds no frame.
#include "DesktopNotifications/VideoThumbnailer.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/TempDir.hpp"

namespace {

using testing_support::readFile;

TEST(VideoThumbnailer, WritesAPNGOfAFrameOrNothing) {
  testing_support::TempDir dir;
  ASSERT_EQ(std::system(("cd '" + dir.path() +
                         "' && ffmpeg -v error -f lavfi -i testsrc=size=640x360:duration=1 "
                         "-pix_fmt yuv420p clip.mp4 && ffmpeg -v error -f lavfi -i "
                         "sine=duration=1 -c:a aac -f mp4 sound.mp4")
                            .c_str()),
            0)
      << "needs ffmpeg (scripts/setup.sh)";
  desktop_notifications::VideoThumbnailer thumbnailer;
  const struct {
    const char* video;
    bool written;
  } rows[] = {
      {"clip.mp4", true},
      // An MPEG-4 file of sound alone has no frame to show.
      {"sound.mp4", false},
      {"missing.mp4", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.video);
    const std::string frame = dir.file(std::string(row.video) + ".png");
    const foundation::Status status = thumbnailer.writePNG(dir.file(row.video), frame);
    EXPECT_EQ(status.ok(), row.written) << (status.ok() ? "" : status.error().description);
    EXPECT_EQ(std::filesystem::exists(frame), row.written);
    if (!row.written) continue;
    const std::string png = readFile(frame);
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    // The IHDR's width and height: 640 x 360 fitted into 256 x 256, its proportions kept.
    const auto be32 = [&png](std::size_t at) {
      return (static_cast<unsigned char>(png[at]) << 24) |
             (static_cast<unsigned char>(png[at + 1]) << 16) |
             (static_cast<unsigned char>(png[at + 2]) << 8) |
             static_cast<unsigned char>(png[at + 3]);
    };
    EXPECT_EQ(be32(16), 256);
    EXPECT_EQ(be32(20), 144);
  }
}

}  // namespace
