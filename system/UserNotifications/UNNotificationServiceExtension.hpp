// UNNotificationServiceExtension: the base class of a notification service extension's
// principal class. The platform creates the principal class through the runtime, sends it
// "init", then "didReceiveNotificationRequest:withContentHandler:" with the request and a
// content-handler block, and "serviceExtensionTimeWillExpire" when the time it grants runs
// out. The base class's own answers: "init" returns the instance, the request message delivers
// the content unchanged, the expiry message does nothing.
//
// Thread-safety is the subclass's: the platform sends one instance's messages from one thread.
#pragma once

#include "UserNotifications/Export.hpp"
#include "UserNotifications/UNNotificationContent.hpp"
#include "UserNotifications/UNNotificationRequest.hpp"
#include "objc/NSObject.hpp"

extern UN_EXPORT const objc_class objc_class_UNNotificationServiceExtension;

class UN_EXPORT UNNotificationServiceExtension : public NSObject {
 public:
  static Class classRecord() noexcept;

 protected:
  explicit UNNotificationServiceExtension(Class cls) noexcept : NSObject(cls) {}
};

namespace user_notifications {

// The content-handler block: void (^)(UNNotificationContent*).
using ContentHandlerBlock = void*;

// The two messages the platform sends a service extension besides "init", named once for the
// records that answer them and the host that sends them.
inline constexpr SEL kDidReceiveNotificationRequestSelector =
    "didReceiveNotificationRequest:withContentHandler:";
inline constexpr SEL kServiceExtensionTimeWillExpireSelector = "serviceExtensionTimeWillExpire";

// The extension point this library hosts.
inline constexpr const char* kServiceExtensionPoint = "com.apple.usernotifications.service";

}  // namespace user_notifications
