// The principal class as the object runtime drives it: its expiry message and its destroyer
// use or release exactly what its stored properties hold, whichever of them are set.
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
    objc::Strong<UNMutableNotificationContent> held;
    {
      // Made and initialised the way the host makes one.
      objc::Strong<NSObject> instance =
          objc::Strong<NSObject>::adopt(class_createInstance(&objc_class_NotificationService));
      ASSERT_EQ(objc_msgSend<id>(instance.get(), "init"), instance.get());
      NotificationService& service = *static_cast<NotificationService*>(instance.get());
      if (row.fromMessage) {
        auto request = objc::makeStrong<UNNotificationRequest>(
            "r1", objc::makeStrong<UNNotificationContent>(user_notifications::ContentFields{}));
        objc_msgSend<void>(instance.get(),
                           user_notifications::kDidReceiveNotificationRequestSelector,
                           request.get(), block.get());
        held = service.bestAttemptContent();
      } else {
        if (row.handler) {
          service.setContentHandler(
              [token, &calls](const objc::Strong<UNNotificationContent>&) { ++calls; });
        }
        if (row.content) {
          held =
              objc::makeStrong<UNMutableNotificationContent>(user_notifications::ContentFields{});
          service.setBestAttemptContent(held);
        }
      }
      ASSERT_EQ(held != nullptr, row.content);
      // The expiry delivers only what there is to deliver, to a handler there is.
      objc_msgSend<void>(instance.get(),
                         user_notifications::kServiceExtensionTimeWillExpireSelector);
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
