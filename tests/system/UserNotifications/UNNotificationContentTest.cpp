// What a mutable copy holds and that it changes only itself are seen where the service
// delivers one (NotificationServiceTest) and where a delivered copy is printed whole
// (ExtensionProcessTest); a reference lost on the way shows under the leak checker. Here: the
// attachments list as threads share it.
#include "UserNotifications/UNNotificationContent.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using Attachments = std::vector<objc::Strong<UNNotificationAttachment>>;

TEST(UNNotificationContent, ReadersSeeWholeListsWhileAnotherThreadReplacesThem) {
  testing_support::TempDir dir;
  testing_support::writeFile(dir.file("a.png"), testing_support::pngBytes());
  // Distinct attachments of one real image file.
  const auto attachment = [&] {
    return UNNotificationAttachment::attachmentWithIdentifier(
        "a", URL::fileURLWithPath(dir.file("a.png")), nullptr, nullptr);
  };
  const Attachments one{attachment()};
  const Attachments two{attachment(), attachment()};
  ASSERT_TRUE(one[0] && two[0] && two[1]);
  auto content =
      objc::makeStrong<UNMutableNotificationContent>(user_notifications::ContentFields{});
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      while (!done.load()) {
        Attachments seen = content->attachments();
        if (!seen.empty() && seen != one && seen != two) ++torn;
      }
    });
  }
  for (int i = 0; i < 2000; ++i) content->setAttachments(i % 2 == 0 ? one : two);
  done = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(torn.load(), 0);
  content = nullptr;
  // No reference was lost or leaked on the way: only our lists hold them now.
  EXPECT_EQ(one[0]->retainCount(), 1u);
  EXPECT_EQ(two[1]->retainCount(), 1u);
}

}  // namespace
