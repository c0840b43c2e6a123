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
#include "Foundation/Text.hpp"
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

// The store's file is one of its own, not a second name for the caches file: nothing done to
// the caches file, in place or by a rename onto its name, changes what was shown.
TEST_F(AttachmentStoreTest, AnAttachmentKeepsItsBytesWhateverLaterHappensToTheCachesFile) {
  ASSERT_NO_FATAL_FAILURE(open(1 << 20));
  objc::Strong<UNNotificationAttachment> shown = attach("x.png");
  ASSERT_TRUE(shown);
  const std::string stored = shown->url().path();
  EXPECT_TRUE(std::regex_match(stored, std::regex(store_->directory() + "/[0-9a-f]{32}-x\\.png")))
      << stored;
  EXPECT_FALSE(std::filesystem::equivalent(stored, caches_.file("x.png")));
  EXPECT_EQ(shown->type(), "public.png");
  // Writers in place: a copy over it, a truncation, a cleaner that zeroes it.
  for (const std::string& bytes :
       {std::string("<html>404</html>"), std::string(), std::string(pngBytes().size(), '\0')}) {
    writeFile(caches_.file("x.png"), bytes);
    EXPECT_EQ(readFile(stored), pngBytes());
  }

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

  // The store copies the very file that was opened, whatever took its name since.
  writeFile(caches_.file("y.png"), pngBytes());
  base::FileDescriptor fd(::open(caches_.file("y.png").c_str(), O_RDONLY | O_CLOEXEC));
  std::filesystem::rename(caches_.file("x.png"), caches_.file("y.png"));
  foundation::Result<user_notifications::StoredFile> copied = store_->take(fd, "y.png");
  ASSERT_TRUE(copied.ok()) << copied.error().description;
  EXPECT_EQ(readFile(copied->path()), pngBytes());
}

// One rule for the store's names, whatever the caches file's name: "<32 hex digits>-<name>",
// cut to the longest name a file may have, where a character starts.
TEST_F(AttachmentStoreTest, StoreNamesAreTheCachesNameAfterARandomPrefixCutToAFileName) {
  ASSERT_NO_FATAL_FAILURE(open(1 << 20));
  const std::string md5(32, 'a');
  const std::string e189(189, 'e');  // 33 + 32 + 1 + 189 = 255 bytes: the name fits exactly
  struct Row {
    std::string extension;
    std::size_t length;  // of the store's name
  } const rows[] = {
      {"png", 69},
      {std::string(150, 'e'), 216},
      {e189.substr(1), 254},
      {e189, 255},
      {e189 + "e", 255},
      {std::string(222, 'e'), 255},
      {e189.substr(1) + "\u00e9", 254},  // "\u00e9" would end at byte 256: it goes whole
      {e189.substr(1) + "\u20ac", 254},  // the euro sign's 3 bytes would end at byte 257
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.extension.size());
    const std::string name = md5 + "." + row.extension;
    writeFile(caches_.file(name), pngBytes());
    base::FileDescriptor fd(::open(caches_.file(name).c_str(), O_RDONLY | O_CLOEXEC));
    foundation::Result<user_notifications::StoredFile> taken = store_->take(fd, name);
    ASSERT_TRUE(taken.ok()) << taken.error().description;
    const std::string file = std::filesystem::path(taken->path()).filename();
    EXPECT_EQ(file.size(), row.length);
    EXPECT_TRUE(dataUsingUTF8(file).has_value());
    EXPECT_TRUE(std::regex_match(file.substr(0, 33), std::regex("[0-9a-f]{32}-")));
    EXPECT_EQ(file.substr(33), name.substr(0, file.size() - 33));
    taken->discard();
  }
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

// A file made from a store file (a video's frame) goes beside it, under a name that fits, and
// counts towards the limit once written: the store stays bounded whatever the desktop makes.
TEST_F(AttachmentStoreTest, DerivedFilesGoBesideTheirFileAndCountTowardsTheLimit) {
  ASSERT_NO_FATAL_FAILURE(open(1));  // any file not held puts the store over its limit
  objc::Strong<UNNotificationAttachment> held = attach("x.png");
  ASSERT_TRUE(held);
  const std::string path = held->url().path();
  EXPECT_EQ(store_->derivedPath(path, ".thumbnail.png"), path + ".thumbnail.png");
  EXPECT_EQ(store_->derivedPath(caches_.file("x.png"), ".thumbnail.png"), std::nullopt);
  const std::string longName = std::string(230, 'n') + ".mp4";
  writeFile(caches_.file(longName), pngBytes());
  base::FileDescriptor fd(::open(caches_.file(longName).c_str(), O_RDONLY | O_CLOEXEC));
  foundation::Result<user_notifications::StoredFile> taken = store_->take(fd, longName);
  ASSERT_TRUE(taken.ok()) << taken.error().description;
  const std::optional<std::string> cut = store_->derivedPath(taken->path(), ".thumbnail.png");
  ASSERT_TRUE(cut);
  const std::string cutName = std::filesystem::path(*cut).filename();
  EXPECT_EQ(cutName.size(), 255u);
  EXPECT_EQ(cutName.substr(0, 32),
            std::filesystem::path(taken->path()).filename().string().substr(0, 32));
  EXPECT_TRUE(cutName.ends_with(".thumbnail.png"));

  const std::string frame = path + ".thumbnail.png";
  writeFile(frame, pngBytes());
  EXPECT_TRUE(std::filesystem::exists(frame));
  store_->noteWritten(frame);
  EXPECT_FALSE(std::filesystem::exists(frame)) << "not counted, so never removed";
  EXPECT_TRUE(std::filesystem::exists(path));
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
