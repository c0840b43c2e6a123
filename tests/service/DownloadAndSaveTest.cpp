#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Foundation/NSString.hpp"
#include "Foundation/URLSession.hpp"
#include "service/NotificationService.hpp"
#include "service/NotificationServiceInternal.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using notification_service_internal::cacheFileURL;
using notification_service_internal::md5;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::TestServer;

constexpr auto kPatience = std::chrono::seconds(60);

// The contents handed to one request's handler, with the attachments each carried then.
class Delivered {
 public:
  void record(const Strong<UNNotificationContent>& content) {
    std::lock_guard<std::mutex> lock(mu_);
    attachments_.push_back(content->attachments());
    cv_.notify_all();
  }
  // The attachments of the first delivery; fails the test after a minute without one.
  std::vector<Strong<UNNotificationAttachment>> first() {
    std::unique_lock<std::mutex> lock(mu_);
    EXPECT_TRUE(cv_.wait_for(lock, kPatience, [&] { return !attachments_.empty(); }));
    return attachments_.empty() ? std::vector<Strong<UNNotificationAttachment>>{}
                                : attachments_.front();
  }
  std::size_t count() {
    std::lock_guard<std::mutex> lock(mu_);
    return attachments_.size();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::vector<Strong<UNNotificationAttachment>>> attachments_;
};

std::vector<std::string> listDirectory(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(path, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class DownloadAndSaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(setenv("XDG_CACHE_HOME", cacheHome_.path().c_str(), 1), 0);
    caches_ = cacheHome_.file(std::filesystem::read_symlink("/proc/self/exe").filename().string());
    ASSERT_EQ(mkdir(caches_.c_str(), 0700), 0);
  }
  void TearDown() override { EXPECT_TRUE(waitUntilIdle()); }

  static bool waitUntilIdle() {
    return URLSession::sharedSession().waitUntilIdle(std::chrono::steady_clock::now() + kPatience);
  }

  // Runs one request for `address` through a fresh service and waits until its download
  // has finished; gives what the delivery carried.
  std::vector<Strong<UNNotificationAttachment>> fetch(const std::string& address) {
    Class cls = objc_getClass("_TtC29HalvicourtNotificationService19NotificationService");
    auto service = Strong<NSObject>::adopt(objc_msgSend<id>(class_createInstance(cls), "init"));
    UNNotificationContentFields fields;
    fields.title = "Title";
    fields.userInfo = {{"image", address}};
    auto request = makeStrong<UNNotificationRequest>(
        "r", makeStrong<UNNotificationContent>(std::move(fields)));
    auto delivered = std::make_shared<Delivered>();
    static_cast<NotificationService*>(service.get())
        ->didReceive(request, [delivered](const Strong<UNNotificationContent>& content) {
          delivered->record(content);
        });
    std::vector<Strong<UNNotificationAttachment>> attachments = delivered->first();
    EXPECT_TRUE(waitUntilIdle());
    EXPECT_EQ(delivered->count(), 1u) << "the handler runs exactly once per download";
    return attachments;
  }

  std::string cacheName(const std::string& address) const {
    const std::string ext = pathExtension(address);
    return md5(address) + (ext.empty() ? "" : "." + ext);
  }

  TempDir cacheHome_;
  std::string caches_;
  // One server for the suite: each one stopped waits out its kept-alive connections.
  static void SetUpTestSuite() { server_ = new TestServer; }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static TestServer* server_;
};
TestServer* DownloadAndSaveTest::server_ = nullptr;

TEST_F(DownloadAndSaveTest, FileIsNamedByTheDigestAndTheExtensionOfTheWholeAddress) {
  struct Row {
    const char* address;
    const char* suffix;  // what follows the 32 hex digits
  } const rows[] = {
      {"http://h/pic.jpg", ".jpg"},
      {"http://h/pic.jpg?w=100", ".jpg?w=100"},
      {"http://h/pic.jpg?w=200", ".jpg?w=200"},
      {"http://h/img?name=a.png", ".png"},
      {"http://h/a.tar.gz", ".gz"},
      {"http://h/pic.jpg#top", ".jpg#top"},
      {"http://h/dir/pic.JPG/", ".JPG"},
      {"http://example.com", ".com"},
      {"http://h/dir/noextension", ""},
  };
  std::vector<std::string> seen;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.address);
    std::optional<URL> file = cacheFileURL(*URL::fromString(row.address));
    ASSERT_TRUE(file);
    EXPECT_TRUE(file->isFileURL());
    EXPECT_EQ(file->path(), caches_ + "/" + md5(row.address) + row.suffix);
    seen.push_back(file->path());
  }
  // Addresses that differ only in their query never share a file.
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
}

TEST_F(DownloadAndSaveTest, WhatTheTransferGivesIsStoredAndAttachedOnlyIfAnImage) {
  TempDir elsewhere;
  testing_support::writeFile(elsewhere.file("local.png"), testing_support::pngBytes());
  struct Row {
    std::string path;
    bool stored;
    std::string bytes;  // when stored
    bool attached;
  } const rows[] = {
      {"/image.png", true, testing_support::pngBytes(), true},
      // Characters a URL path escapes must still lead the attachment to the stored file.
      {"/pic.jpg?q=%41&r=b+c", true, testing_support::jpegBytes(), true},
      {"/images/x.png#frag", true, testing_support::pngBytes(), true},
      // An error page is a body like any other: kept, but not an image.
      {"/status/404", true, "<html><body><h1>404</h1></body></html>", false},
      {"/status/500", true, "<html><body><h1>500</h1></body></html>", false},
      {"/empty", true, "", false},
      {"/html.png", true, "<html><body>not an image</body></html>", false},
      // No body: nothing stored.
      {"/reset", false, "", false},
      {"/big", false, "", false},
      {"/redirect-loop", false, "", false},
      // A redirect may not read local files into the cache.
      {"/redirect?to=file://" + elsewhere.file("local.png"), false, "", false},
      {"/redirect?to=" + server_->url("/image.gif"), true, testing_support::gifBytes(), true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const std::string address = server_->url(row.path);
    std::vector<Strong<UNNotificationAttachment>> attachments = fetch(address);
    if (row.stored) {
      EXPECT_EQ(listDirectory(caches_), std::vector<std::string>{cacheName(address)});
      EXPECT_EQ(readFile(caches_ + "/" + cacheName(address)), row.bytes);
    } else {
      EXPECT_EQ(listDirectory(caches_), std::vector<std::string>{});
    }
    if (row.attached) {
      ASSERT_EQ(attachments.size(), 1u);
      EXPECT_EQ(attachments[0]->url().path(), caches_ + "/" + cacheName(address));
    } else {
      EXPECT_TRUE(attachments.empty());
    }
    std::filesystem::remove_all(caches_);
    std::filesystem::create_directory(caches_);
  }
}

TEST_F(DownloadAndSaveTest, TheSameAddressTwiceReplacesOneFile) {
  const std::string address = server_->url("/image.png");
  std::vector<Strong<UNNotificationAttachment>> first = fetch(address);
  ASSERT_EQ(first.size(), 1u);
  testing_support::writeFile(first[0]->url().path(), "stale");
  std::vector<Strong<UNNotificationAttachment>> second = fetch(address);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0]->url(), first[0]->url());
  EXPECT_EQ(listDirectory(caches_), std::vector<std::string>{cacheName(address)});
  EXPECT_EQ(readFile(second[0]->url().path()), testing_support::pngBytes());
}

TEST_F(DownloadAndSaveTest, QueryStaysInTheFileName) {
  const std::string address = server_->url("/pic.jpg?w=100");
  std::vector<Strong<UNNotificationAttachment>> attachments = fetch(address);
  const std::string name = md5(address) + ".jpg?w=100";
  EXPECT_EQ(listDirectory(caches_), std::vector<std::string>{name});
  EXPECT_EQ(readFile(caches_ + "/" + name), testing_support::jpegBytes());
  ASSERT_EQ(attachments.size(), 1u);
  EXPECT_EQ(attachments[0]->type(), "public.jpeg");
  EXPECT_EQ(attachments[0]->url().path(), caches_ + "/" + name);
}

TEST_F(DownloadAndSaveTest, MissingCachesDirectoryIsNotCreated) {
  ASSERT_EQ(rmdir(caches_.c_str()), 0);
  EXPECT_TRUE(fetch(server_->url("/image.png")).empty());
  struct stat st {};
  EXPECT_NE(stat(caches_.c_str(), &st), 0);
}

TEST_F(DownloadAndSaveTest, LinkPlantedAtTheCacheNameIsReplacedNotWrittenThrough) {
  const std::string address = server_->url("/image.png");
  const std::string target = cacheHome_.file("precious.txt");
  testing_support::writeFile(target, "precious");
  const std::string planted = caches_ + "/" + cacheName(address);
  ASSERT_EQ(symlink(target.c_str(), planted.c_str()), 0);

  std::vector<Strong<UNNotificationAttachment>> attachments = fetch(address);
  EXPECT_EQ(readFile(target), "precious");
  struct stat st {};
  ASSERT_EQ(lstat(planted.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(readFile(planted), testing_support::pngBytes());
  EXPECT_EQ(attachments.size(), 1u);
}

}  // namespace
