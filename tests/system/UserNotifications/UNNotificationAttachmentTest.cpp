#include "UserNotifications/UNNotificationAttachment.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using testing_support::TempDir;
using testing_support::writeFile;

Strong<UNNotificationAttachment> attach(const URL& url, std::optional<NSError>* error) {
  return UNNotificationAttachment::attachmentWithIdentifier("image_downloaded", url, nullptr,
                                                            error);
}

TEST(UNNotificationAttachment, AcceptsTheFourImageFormatsByContent) {
  TempDir dir;
  const off_t limit = static_cast<off_t>(kUNNotificationAttachmentMaximumImageBytes);
  struct Row {
    const char* name;  // the file name says nothing: the bytes decide
    const std::string& bytes;
    const char* type;
    off_t size;  // 0: as the bytes are
  } const rows[] = {
      {"a.bin", testing_support::pngBytes(), "public.png", 0},
      {"c.png", testing_support::gifBytes(), "com.compuserve.gif", 0},
      {"d.jpg", testing_support::webpBytes(), "org.webmproject.webp", 0},
      // The store's name for "http://h/pic.jpg?w=100": the query stays in the file name.
      {"0123456789abcdef0123456789abcdef.jpg?w=100", testing_support::jpegBytes(), "public.jpeg",
       0},
      {"exactly-10-MiB.png", testing_support::pngBytes(), "public.png", limit},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    writeFile(dir.file(row.name), row.bytes);
    if (row.size != 0) {
      ASSERT_EQ(truncate(dir.file(row.name).c_str(), row.size), 0);
    }
    const URL url = URL::fileURLWithPath(dir.file(row.name));
    std::optional<NSError> error;
    Strong<UNNotificationAttachment> a = attach(url, &error);
    ASSERT_TRUE(a) << (error ? error->description : "no error");
    EXPECT_EQ(a->identifier(), "image_downloaded");
    EXPECT_EQ(a->url(), url);
    EXPECT_EQ(a->type(), row.type);
  }
}

TEST(UNNotificationAttachment, RefusesWhatIsNotASmallLocalImageAndSaysWhy) {
  TempDir dir;
  writeFile(dir.file("page.png"), "<!DOCTYPE html><html><body>404</body></html>");
  writeFile(dir.file("empty.png"), "");
  writeFile(dir.file("cut.png"), testing_support::pngBytes().substr(0, 40));
  ASSERT_EQ(mkdir(dir.file("folder.png").c_str(), 0700), 0);
  writeFile(dir.file("real.png"), testing_support::pngBytes());
  ASSERT_EQ(symlink(dir.file("real.png").c_str(), dir.file("link.png").c_str()), 0);
  // A sparse file over the limit that starts like a PNG: only its size is wrong.
  writeFile(dir.file("huge.png"), testing_support::pngBytes());
  ASSERT_EQ(truncate(dir.file("huge.png").c_str(),
                     static_cast<off_t>(kUNNotificationAttachmentMaximumImageBytes) + 1),
            0);
  struct Row {
    const char* name;
    long code;
    const char* says;
  } const rows[] = {
      {"page.png", UNErrorCodeAttachmentUnrecognizedType, "not a JPEG, PNG, GIF or WebP"},
      {"empty.png", UNErrorCodeAttachmentUnrecognizedType, "not a JPEG, PNG, GIF or WebP"},
      {"cut.png", UNErrorCodeAttachmentCorrupt, "truncated PNG"},
      {"folder.png", UNErrorCodeAttachmentInvalidURL, "not a regular file"},
      {"missing.png", UNErrorCodeAttachmentInvalidURL, "No such file"},
      {"link.png", UNErrorCodeAttachmentInvalidURL, "symbolic links"},
      {"huge.png", UNErrorCodeAttachmentInvalidFileSize, "over the limit"},
      {"http://127.0.0.1/image.png", UNErrorCodeAttachmentInvalidURL, "not a file URL"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const URL url = std::string_view(row.name).starts_with("http:")
                        ? *URL::fromString(row.name)
                        : URL::fileURLWithPath(dir.file(row.name));
    std::optional<NSError> error;
    EXPECT_FALSE(attach(url, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, UNErrorDomain);
    EXPECT_EQ(error->code, row.code);
    EXPECT_NE(error->description.find(row.says), std::string::npos) << error->description;
    EXPECT_FALSE(attach(url, nullptr));  // callers that drop the reason pass no out-parameter
  }
}

}  // namespace
