#include "UserNotifications/UNNotificationRequest.hpp"

#include <utility>

constinit const objc_class objc_class_UNNotificationRequest = {
    .superclass = &objc_class_NSObject,
    .name = "UNNotificationRequest",
    .instanceSize = sizeof(UNNotificationRequest),
    .methods = nullptr,
    .methodCount = 0,
    .ivars = nullptr,
    .ivarCount = 0,
    .classMethods = nullptr,
    .classMethodCount = 0,
    .create = nullptr,
};
OBJC_CLASSLIST_ENTRY(objc_class_UNNotificationRequest);

Class UNNotificationRequest::classRecord() { return &objc_class_UNNotificationRequest; }

UNNotificationRequest::UNNotificationRequest(std::string identifier,
                                             Strong<UNNotificationContent> content)
    : NSObject(&objc_class_UNNotificationRequest),
      identifier_(std::move(identifier)),
      content_(std::move(content)) {}
