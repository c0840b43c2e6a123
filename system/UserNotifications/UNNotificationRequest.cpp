#include "UserNotifications/UNNotificationRequest.hpp"

#include <utility>

constinit const objc_class objc_class_UNNotificationRequest =
    objc::makeClass(&objc_class_NSObject, "UNNotificationRequest", sizeof(UNNotificationRequest));
OBJC_CLASSLIST_ENTRY(objc_class_UNNotificationRequest);

Class UNNotificationRequest::classRecord() { return &objc_class_UNNotificationRequest; }

UNNotificationRequest::UNNotificationRequest(std::string identifier,
                                             objc::Strong<UNNotificationContent> content)
    : NSObject(&objc_class_UNNotificationRequest),
      identifier_(std::move(identifier)),
      content_(std::move(content)) {}
