#include "UserNotifications/AttachmentStore.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Foundation/FileManager.hpp"
#include "UserNotifications/UNNotificationAttachment.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using testing_support::pngBytes;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;
using user_notifications::AttachmentStore;

// A caches directory holding an image, and a store in a directory of its own set up as the
// process's store for the test's length.
class AttachmentStoreTest : public testing::Test {
 protected:
  void open(std::uint64_t limitBytes) {
    writeFile(caches_.file("x.png"), pngBytes());
    foundation::Result<std::shared_ptr<AttachmentStore>> opened =
        AttachmentStore::open(state_.file("app/Attachments"), limitBytes);
    ASSERT_TRUE(opened.ok()) << opened.error().description;
    store_ = *opened;
    AttachmentStore::setShared(store_);
  }
  void TearDown() override { AttachmentStore::setShared(nullptr); }

  objc::Strong<UNNotificationAttachment> attach(const std::string& name,
                                                std::optional<NSError>* error = nullptr) {
    return UNNotificationAttachment::attachmentWithIdentifier(
        "image_downloaded", URL::fileURLWithPath(caches_.file(name)), nullptr, error);
  }
  std::size_t storedFiles() const {
    return testing_support::listDirectory(store_->directory()).size();
  }

  TempDir caches_;
  TempDir state_;
  std::shared_ptr<AttachmentStore> store_;
};

TEST_F(AttachmentStoreTest, AnAttachmentKeepsItsBytesWhateverLaterHappensToTheCachesFile) {
  ASSERT_NO_FATAL_FAILURE(open(1 << 20));
  objc::Strong<UNNotificationAttachment> shown = attach("x.png");
  ASSERT_TRUE(shown);
  const std::string stored = shown->url().path();
  EXPECT_TRUE(std::regex_match(stored, std::regex(store_->directory() + "/[0-9a-f]{32}-x\\.png")))
      << stored;
  EXPECT_TRUE(std::filesystem::equivalent(stored, caches_.file("x.png")));  // a link to the file
  EXPECT_EQ(shown->type(), "public.png");

  // A later download of the same address renames an error page onto the name.
  writeFile(caches_.file("page"), "<html><body>404</body></html>");
  std::filesystem::rename(caches_.file("page"), caches_.file("x.png"));
  std::optional<NSError> error;
  EXPECT_FALSE(attach("x.png", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, UNErrorCodeAttachmentUnrecognizedType);
  EXPECT_EQ(readFile(stored), pngBytes());
  EXPECT_EQ(storedFiles(), 1u);                                 // the refused copy was removed
  EXPECT_TRUE(std::filesystem::exists(caches_.file("x.png")));  // the extension's file stays

  // A file replaced after it was opened has no name left to link: its bytes are copied.
  writeFile(caches_.file("y.png"), pngBytes());
  base::FileDescriptor fd(::open(caches_.file("y.png").c_str(), O_RDONLY | O_CLOEXEC));
  std::filesystem::rename(caches_.file("x.png"), caches_.file("y.png"));
  foundation::Result<user_notifications::StoredFile> copied = store_->take(std::move(fd), "y.png");
  ASSERT_TRUE(copied.ok()) << copied.error().description;
  EXPECT_EQ(readFile(copied->path()), pngBytes());
}

TEST_F(AttachmentStoreTest, HoldsAFileForAsLongAsItsAttachmentLives) {
  ASSERT_NO_FATAL_FAILURE(open(1));  // any file puts the store over its limit
  objc::Strong<UNNotificationAttachment> first = attach("x.png");
  objc::Strong<UNNotificationAttachment> second = attach("x.png");
  ASSERT_TRUE(first && second);
  const std::string firstPath = first->url().path();
  const std::string secondPath = second->url().path();
  EXPECT_NE(firstPath, secondPath);
  EXPECT_TRUE(std::filesystem::exists(firstPath));
  EXPECT_TRUE(std::filesystem::exists(secondPath));

  first = objc::Strong<UNNotificationAttachment>();
  EXPECT_FALSE(std::filesystem::exists(firstPath));
  EXPECT_TRUE(std::filesystem::exists(secondPath));

  // A notification that closed gives its file up at once, held or not.
  store_->remove(secondPath);
  EXPECT_FALSE(std::filesystem::exists(secondPath));
  store_->remove(caches_.file("x.png"));  // not the store's: left alone
  EXPECT_TRUE(std::filesystem::exists(caches_.file("x.png")));
}

TEST_F(AttachmentStoreTest, ThreadsTakingTheSameFileAtOnceEachGetAWholeFileOfTheirOwn) {
  ASSERT_NO_FATAL_FAILURE(open(3 * pngBytes().size()));
  std::mutex mu;
  std::set<std::string> paths;  // guarded by mu
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        objc::Strong<UNNotificationAttachment> a = attach("x.png");
        ASSERT_TRUE(a);
        EXPECT_EQ(readFile(a->url().path()), pngBytes());
        std::lock_guard<std::mutex> lock(mu);
        paths.insert(a->url().path());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(paths.size(), 200u);
  EXPECT_LE(storedFiles(), 3u);
}

}  // namespace
