#include "UserNotifications/UNNotificationServiceExtension.hpp"

#include "System/Block.hpp"

namespace {

id UNNotificationServiceExtension_init(id self, SEL) { return self; }

// Without an override the notification is shown as it arrived.
void UNNotificationServiceExtension_didReceive(
    id, SEL, UNNotificationRequest* request,
    user_notifications::ContentHandlerBlock contentHandler) {
  if (request == nullptr || contentHandler == nullptr) return;
  blocks::invoke<void, UNNotificationContent*>(contentHandler, request->content().get());
}

void UNNotificationServiceExtension_timeWillExpire(id, SEL) {}

constinit const objc_method kMethods[] = {
    {user_notifications::kDidReceiveNotificationRequestSelector, "v32@0:8@16@?24",
     OBJC_IMP(UNNotificationServiceExtension_didReceive)},
    {user_notifications::kServiceExtensionTimeWillExpireSelector, "v16@0:8",
     OBJC_IMP(UNNotificationServiceExtension_timeWillExpire)},
    {"init", "@16@0:8", OBJC_IMP(UNNotificationServiceExtension_init)},
};

}  // namespace

constinit const objc_class objc_class_UNNotificationServiceExtension =
    objc::makeClass(&objc_class_NSObject, "UNNotificationServiceExtension",
                    sizeof(UNNotificationServiceExtension), kMethods);
OBJC_CLASSLIST_ENTRY(objc_class_UNNotificationServiceExtension);

Class UNNotificationServiceExtension::classRecord() noexcept {
  return &objc_class_UNNotificationServiceExtension;
}
