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

UNNotificationContentFields sampleFields() {
  UNNotificationContentFields f;
  f.title = "Title";
  f.subtitle = "Subtitle";
  f.body = "Body";
  f.badge = 3;
  f.sound = "default";
  f.threadIdentifier = "thread";
  f.categoryIdentifier = "category";
  f.userInfo = {{"image", "http://127.0.0.1/image.png"}, {"aps", {{"mutable-content", 1}}}};
  return f;
}

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

void expectSameFields(const UNNotificationContent& a, const UNNotificationContent& b) {
  EXPECT_EQ(a.title(), b.title());
  EXPECT_EQ(a.subtitle(), b.subtitle());
  EXPECT_EQ(a.body(), b.body());
  EXPECT_EQ(a.badge(), b.badge());
  EXPECT_EQ(a.sound(), b.sound());
  EXPECT_EQ(a.threadIdentifier(), b.threadIdentifier());
  EXPECT_EQ(a.categoryIdentifier(), b.categoryIdentifier());
  EXPECT_EQ(a.userInfo(), b.userInfo());
}

TEST(UNNotificationContent, MutableCopyIsANewMutableObjectAndLeavesTheOriginal) {
  Images images;
  auto original = makeStrong<UNNotificationContent>(sampleFields());
  Strong<NSObject> copy = original->mutableCopy();
  ASSERT_TRUE(copy);
  EXPECT_NE(copy.get(), static_cast<NSObject*>(original.get()));
  EXPECT_EQ(copy->isa(), &objc_class_UNMutableNotificationContent);
  EXPECT_EQ(copy->retainCount(), 1u);  // the caller owns the only reference
  EXPECT_EQ(original->retainCount(), 1u);

  Strong<UNMutableNotificationContent> mutableCopy =
      dynamicCast<UNMutableNotificationContent>(copy);
  ASSERT_TRUE(mutableCopy);
  expectSameFields(*mutableCopy, *original);
  mutableCopy->setAttachments({images.make("a.png")});
  EXPECT_TRUE(original->attachments().empty());

  // A copy of a copy carries its attachments, and changing it changes only itself.
  auto second = dynamicCast<UNMutableNotificationContent>(mutableCopy->mutableCopy());
  ASSERT_TRUE(second);
  EXPECT_NE(second.get(), mutableCopy.get());
  expectSameFields(*second, *original);
  ASSERT_EQ(second->attachments().size(), 1u);
  EXPECT_EQ(second->attachments()[0], mutableCopy->attachments()[0]);
  second->setAttachments({});
  EXPECT_EQ(mutableCopy->attachments().size(), 1u);
}

TEST(UNNotificationContent, ImmutableContentIsNotMutable) {
  auto original = makeStrong<UNNotificationContent>(sampleFields());
  EXPECT_FALSE(dynamicCast<UNMutableNotificationContent>(Strong<NSObject>(original)));
}

TEST(UNNotificationContent, SetAttachmentsReplacesTheWholeList) {
  Images images;
  auto a = images.make("a.png");
  auto b = images.make("b.png");
  auto c = images.make("c.png");
  auto content = makeStrong<UNMutableNotificationContent>(sampleFields());
  content->setAttachments({a, b});
  EXPECT_EQ(content->attachments(), (Attachments{a, b}));
  content->setAttachments({c});
  EXPECT_EQ(content->attachments(), (Attachments{c}));
  // The replaced attachments are no longer held by the content.
  EXPECT_EQ(a->retainCount(), 1u);
  EXPECT_EQ(b->retainCount(), 1u);
  content->setAttachments({});
  EXPECT_TRUE(content->attachments().empty());
  EXPECT_EQ(c->retainCount(), 1u);
}

TEST(UNNotificationContent, ReadersSeeWholeListsWhileAnotherThreadReplacesThem) {
  Images images;
  const Attachments one{images.make("a.png")};
  const Attachments two{images.make("b.png"), images.make("c.png")};
  auto content = makeStrong<UNMutableNotificationContent>(sampleFields());

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
  EXPECT_EQ(content->attachments(), two);
  content = nullptr;
  // No reference was lost or leaked on the way: only our lists hold them now.
  EXPECT_EQ(one[0]->retainCount(), 1u);
  EXPECT_EQ(two[1]->retainCount(), 1u);
}

}  // namespace
