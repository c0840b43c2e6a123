#include "UserNotifications/UNNotificationContent.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempDir.hpp"
#include "tests/support/TestServer.hpp"

namespace {

using Attachments = std::vector<Strong<UNNotificationAttachment>>;

// Real attachments need real image files.
class Images {
 public:
  Strong<UNNotificationAttachment> make(const std::string& name) {
    testing_support::writeFile(dir_.file(name), testing_support::pngBytes());
    auto a = UNNotificationAttachment::attachmentWithIdentifier(
        name, URL::fileURLWithPath(dir_.file(name)), nullptr, nullptr);
    EXPECT_TRUE(a) << name;
    return a;
  }

 private:
  testing_support::TempDir dir_;
};

// The copy's fields are checked where a delivered copy is printed whole (the extension's
// process test); here, that copies share no attachment list and let go of what they replace.
TEST(UNNotificationContent, MutableCopiesAreNewObjectsThatChangeOnlyThemselves) {
  Images images;
  auto original = makeStrong<UNNotificationContent>(UNNotificationContentFields{});
  EXPECT_FALSE(dynamicCast<UNMutableNotificationContent>(Strong<NSObject>(original)));
  auto copy = dynamicCast<UNMutableNotificationContent>(original->mutableCopy());
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->retainCount(), 1u);  // the caller owns the only reference
  Strong<UNNotificationAttachment> a = images.make("a.png");
  copy->setAttachments({a, images.make("b.png")});
  EXPECT_TRUE(original->attachments().empty());
  // A copy of a copy carries its attachments; replacing them there leaves the first copy.
  auto second = dynamicCast<UNMutableNotificationContent>(copy->mutableCopy());
  ASSERT_TRUE(second);
  EXPECT_EQ(second->attachments(), copy->attachments());
  second->setAttachments({});
  copy->setAttachments({a});
  EXPECT_EQ(copy->attachments(), Attachments{a});
  EXPECT_TRUE(second->attachments().empty());
  second = copy = nullptr;
  EXPECT_EQ(a->retainCount(), 1u);  // replaced lists are let go
}

TEST(UNNotificationContent, ReadersSeeWholeListsWhileAnotherThreadReplacesThem) {
  Images images;
  const Attachments one{images.make("a.png")};
  const Attachments two{images.make("b.png"), images.make("c.png")};
  auto content = makeStrong<UNMutableNotificationContent>(UNNotificationContentFields{});
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
