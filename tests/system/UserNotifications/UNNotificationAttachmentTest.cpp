#include "UserNotifications/UNNotificationAttachment.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "UserNotifications/AttachmentType.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using testing_support::pngBytes;

// Which kind the bytes hold, and each kind's limit, is AttachmentType's table; here, what the
// factory adds: the file's type by its bytes whatever its name, its place, the largest limit
// before the file is taken in, and a reason for every refusal.
TEST(UNNotificationAttachment, TakesOneWholeMediaFileFromALocalFile) {
  testing_support::TempDir dir;
  const auto make = [&](const char* name, const std::string& bytes, off_t size = 0) {
    testing_support::writeFile(dir.file(name), bytes);
    // Sparse past the bytes: only the size differs.
    if (size != 0) {
      ASSERT_EQ(truncate(dir.file(name).c_str(), size), 0);
    }
  };
  ASSERT_EQ(std::system(("ffmpeg -v error -f lavfi -i sine=duration=0.2 -c:a libmp3lame -f mp3 '" +
                         dir.file("song.png") + "'")
                            .c_str()),
            0)
      << "needs ffmpeg (scripts/setup.sh)";
  make("a.bin", pngBytes());
  make("huge.mp4", pngBytes(),
       static_cast<off_t>(user_notifications::largestAttachmentBytes()) + 1);
  ASSERT_EQ(mkdir(dir.file("folder.png").c_str(), 0700), 0);
  ASSERT_EQ(symlink(dir.file("a.bin").c_str(), dir.file("link.png").c_str()), 0);
  struct Row {
    const char* name;
    const char* type;  // null: refused
    long code = 0;
    const char* says = "";
  } const rows[] = {
      {"a.bin", "public.png"},
      {"song.png", "public.mp3"},
      {"huge.mp4", nullptr, UNErrorCodeAttachmentInvalidFileSize, "over the limit"},
      {"folder.png", nullptr, UNErrorCodeAttachmentInvalidURL, "not a regular file"},
      {"missing.png", nullptr, UNErrorCodeAttachmentInvalidURL, "No such file"},
      {"link.png", nullptr, UNErrorCodeAttachmentInvalidURL, "symbolic links"},
      {"http://127.0.0.1/image.png", nullptr, UNErrorCodeAttachmentInvalidURL, "not a file URL"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const URL url = std::string_view(row.name).starts_with("http:")
                        ? *URL::fromString(row.name)
                        : URL::fileURLWithPath(dir.file(row.name));
    std::optional<NSError> error;
    objc::Strong<UNNotificationAttachment> a = UNNotificationAttachment::attachmentWithIdentifier(
        "image_downloaded", url, nullptr, &error);
    if (row.type != nullptr) {
      ASSERT_TRUE(a) << (error ? error->description : "no error");
      EXPECT_EQ(a->identifier(), "image_downloaded");
      EXPECT_EQ(a->url(), url);
      EXPECT_EQ(a->type(), row.type);
      continue;
    }
    EXPECT_FALSE(a);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, UNErrorDomain);
    EXPECT_EQ(error->code, row.code);
    EXPECT_NE(error->description.find(row.says), std::string::npos) << error->description;
    // Callers that drop the reason pass no out-parameter.
    EXPECT_FALSE(UNNotificationAttachment::attachmentWithIdentifier("i", url, nullptr, nullptr));
  }
}

}  // namespace
