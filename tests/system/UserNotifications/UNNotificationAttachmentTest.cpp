#include "UserNotifications/UNNotificationAttachment.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

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
  struct Row {
    const char* name;  // the file name says nothing: the bytes decide
    const std::string& bytes;
    const char* type;
  } const rows[] = {
      {"a.bin", testing_support::pngBytes(), "public.png"},
      {"b", testing_support::jpegBytes(), "public.jpeg"},
      {"c.png", testing_support::gifBytes(), "com.compuserve.gif"},
      {"d.jpg", testing_support::webpBytes(), "org.webmproject.webp"},
      // The store's name for "http://h/pic.jpg?w=100": the query stays in the file name.
      {"0123456789abcdef0123456789abcdef.jpg?w=100", testing_support::jpegBytes(), "public.jpeg"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    writeFile(dir.file(row.name), row.bytes);
    const URL url = URL::fileURLWithPath(dir.file(row.name));
    std::optional<NSError> error;
    Strong<UNNotificationAttachment> a = attach(url, &error);
    ASSERT_TRUE(a) << (error ? error->description : "no error");
    EXPECT_EQ(a->identifier(), "image_downloaded");
    EXPECT_EQ(a->url(), url);
    EXPECT_EQ(a->type(), row.type);
    EXPECT_EQ(a->retainCount(), 1u);
  }
}

TEST(UNNotificationAttachment, RefusesWhatIsNotASmallLocalImageAndSaysWhy) {
  TempDir dir;
  writeFile(dir.file("page.png"), "<!DOCTYPE html><html><body>404</body></html>");
  writeFile(dir.file("empty.png"), "");
  ASSERT_EQ(mkdir(dir.file("folder.png").c_str(), 0700), 0);
  writeFile(dir.file("real.png"), testing_support::pngBytes());
  ASSERT_EQ(symlink(dir.file("real.png").c_str(), dir.file("link.png").c_str()), 0);
  // A sparse file over the limit that starts like a PNG: only its size is wrong.
  const auto writeSized = [&](const std::string& name, off_t size) {
    writeFile(dir.file(name), testing_support::pngBytes());
    ASSERT_EQ(truncate(dir.file(name).c_str(), size), 0);
  };
  const auto limit = static_cast<off_t>(kUNNotificationAttachmentMaximumImageBytes);
  writeSized("huge.png", limit + 1);

  struct Row {
    const char* what;
    URL url;
    long code;
    const char* says;
  } const rows[] = {
      {"HTML named .png", URL::fileURLWithPath(dir.file("page.png")),
       UNErrorCodeAttachmentUnrecognizedType, "not a JPEG, PNG, GIF or WebP"},
      {"empty file", URL::fileURLWithPath(dir.file("empty.png")),
       UNErrorCodeAttachmentUnrecognizedType, "not a JPEG, PNG, GIF or WebP"},
      {"directory", URL::fileURLWithPath(dir.file("folder.png")), UNErrorCodeAttachmentInvalidURL,
       "not a regular file"},
      {"missing file", URL::fileURLWithPath(dir.file("missing.png")),
       UNErrorCodeAttachmentInvalidURL, "No such file"},
      {"symbolic link to an image", URL::fileURLWithPath(dir.file("link.png")),
       UNErrorCodeAttachmentInvalidURL, "symbolic links"},
      {"remote URL", *URL::fromString("http://127.0.0.1/image.png"),
       UNErrorCodeAttachmentInvalidURL, "not a file URL"},
      {"one byte over 10 MiB", URL::fileURLWithPath(dir.file("huge.png")),
       UNErrorCodeAttachmentInvalidFileSize, "over the limit"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::optional<NSError> error;
    EXPECT_FALSE(attach(row.url, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, UNErrorDomain);
    EXPECT_EQ(error->code, row.code);
    EXPECT_NE(error->description.find(row.says), std::string::npos) << error->description;
    // Callers that drop the reason may pass no out-parameter.
    EXPECT_FALSE(attach(row.url, nullptr));
  }

  writeSized("limit.png", limit);
  std::optional<NSError> error;
  Strong<UNNotificationAttachment> atLimit =
      attach(URL::fileURLWithPath(dir.file("limit.png")), &error);
  EXPECT_TRUE(atLimit) << "a file of exactly 10 MiB is allowed: "
                       << (error ? error->description : "");
}

}  // namespace
