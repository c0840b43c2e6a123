// The principal class as the object runtime sees it: shaped as the platform expects, and its
// expiry message and its destroyer using or releasing exactly what its stored properties
// hold, whichever of them are set.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "System/Block.hpp"
#include "UserNotifications/UNNotificationContent.hpp"
#include "UserNotifications/UNNotificationRequest.hpp"
#include "objc/runtime.hpp"
#include "service/NotificationService.hpp"

extern const objc_class objc_class_NotificationService;

namespace {

TEST(NotificationServiceClassTest, IsADirectSubclassShapedAsThePlatformExpects) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  Class cls = &objc_class_NotificationService;
  EXPECT_EQ(class_getSuperclass(cls), objc_getClass("UNNotificationServiceExtension"));
  // Its own methods only: dealloc is inherited, and runs the destroyer.
  Pairs methods;
  for (const objc_method& m : class_getInstanceMethods(cls)) methods.emplace_back(m.name, m.types);
  EXPECT_EQ(methods,
            (Pairs{{usernotifications::kDidReceiveNotificationRequestSelector, "v32@0:8@16@?24"},
                   {usernotifications::kServiceExtensionTimeWillExpireSelector, "v16@0:8"},
                   {"init", "@16@0:8"},
                   {".cxx_destruct", "v16@0:8"}}));
  // The stored properties in declaration order, each inside the instance after the last.
  Pairs ivars;
  std::size_t end = sizeof(NSObject);
  for (const objc_ivar& v : class_getIvars(cls)) {
    ivars.emplace_back(v.name, v.type);
    EXPECT_TRUE(v.offset >= end && v.offset + v.size <= sizeof(NotificationService)) << v.name;
    end = v.offset + v.size;
  }
  EXPECT_EQ(ivars, (Pairs{{"contentHandler", "@?"},
                          {"bestAttemptContent", "@\"UNMutableNotificationContent\""}}));
}

TEST(NotificationServiceClassTest, DestructionReleasesExactlyWhatIsPresent) {
  struct Row {
    const char* what;
    bool fromMessage;  // both set by the platform's message, the handler as a block copy
    bool handler;
    bool content;
  } const rows[] = {
      {"both, from the message", true, true, true},
      {"content only", false, false, true},
      {"handler only", false, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    // The token's use count is the number of live copies of the handler.
    auto token = std::make_shared<int>(0);
    int calls = 0;
    auto block = blocks::makeBlock<void(UNNotificationContent*)>(
        [token, &calls](UNNotificationContent*) { ++calls; });
    Strong<UNMutableNotificationContent> held;
    {
      // Made and initialised the way the host makes one.
      Strong<NSObject> instance =
          Strong<NSObject>::adopt(class_createInstance(&objc_class_NotificationService));
      ASSERT_EQ(objc_msgSend<id>(instance.get(), "init"), instance.get());
      NotificationService& service = *static_cast<NotificationService*>(instance.get());
      if (row.fromMessage) {
        auto request = makeStrong<UNNotificationRequest>(
            "r1", makeStrong<UNNotificationContent>(UNNotificationContentFields{}));
        objc_msgSend<void>(instance.get(),
                           usernotifications::kDidReceiveNotificationRequestSelector, request.get(),
                           block.get());
        held = service.bestAttemptContent();
      } else {
        if (row.handler) {
          service.setContentHandler(
              [token, &calls](const Strong<UNNotificationContent>&) { ++calls; });
        }
        if (row.content) {
          held = makeStrong<UNMutableNotificationContent>(UNNotificationContentFields{});
          service.setBestAttemptContent(held);
        }
      }
      ASSERT_EQ(held != nullptr, row.content);
      // The expiry delivers only what there is to deliver, to a handler there is.
      objc_msgSend<void>(instance.get(),
                         usernotifications::kServiceExtensionTimeWillExpireSelector);
      EXPECT_EQ(calls, row.handler && row.content ? 1 : 0);
      EXPECT_EQ(token.use_count(), row.handler ? 3 : 2);  // ours, the stack block's, the held one
      if (held) {
        EXPECT_EQ(held->retainCount(), 2u);
      }
    }
    EXPECT_EQ(token.use_count(), 2);
    if (held) {
      EXPECT_EQ(held->retainCount(), 1u);
    }
  }
}

}  // namespace
