#include "UserNotifications/UNNotificationContent.hpp"

#include <utility>

constinit const objc_class objc_class_UNNotificationContent = {
    .superclass = &objc_class_NSObject,
    .name = "UNNotificationContent",
    .instanceSize = sizeof(UNNotificationContent),
    .methods = nullptr,
    .methodCount = 0,
    .ivars = nullptr,
    .ivarCount = 0,
    .classMethods = nullptr,
    .classMethodCount = 0,
    .create = nullptr,
};
OBJC_CLASSLIST_ENTRY(objc_class_UNNotificationContent);

constinit const objc_class objc_class_UNMutableNotificationContent = {
    .superclass = &objc_class_UNNotificationContent,
    .name = "UNMutableNotificationContent",
    .instanceSize = sizeof(UNMutableNotificationContent),
    .methods = nullptr,
    .methodCount = 0,
    .ivars = nullptr,
    .ivarCount = 0,
    .classMethods = nullptr,
    .classMethodCount = 0,
    .create = nullptr,
};
OBJC_CLASSLIST_ENTRY(objc_class_UNMutableNotificationContent);

Class UNNotificationContent::classRecord() { return &objc_class_UNNotificationContent; }
Class UNMutableNotificationContent::classRecord() {
  return &objc_class_UNMutableNotificationContent;
}

UNNotificationContent::UNNotificationContent(UNNotificationContentFields fields)
    : UNNotificationContent(&objc_class_UNNotificationContent, std::move(fields), {}) {}

UNNotificationContent::UNNotificationContent(
    Class cls, UNNotificationContentFields fields,
    std::vector<Strong<UNNotificationAttachment>> attachments)
    : NSObject(cls), attachments_(std::move(attachments)), fields_(std::move(fields)) {}

std::vector<Strong<UNNotificationAttachment>> UNNotificationContent::attachments() const {
  objc::MutexLock lock(mu_);
  return attachments_;
}

Strong<NSObject> UNNotificationContent::mutableCopy() const {
  return makeStrong<UNMutableNotificationContent>(fields_, attachments());
}

UNMutableNotificationContent::UNMutableNotificationContent(
    UNNotificationContentFields fields, std::vector<Strong<UNNotificationAttachment>> attachments)
    : UNNotificationContent(&objc_class_UNMutableNotificationContent, std::move(fields),
                            std::move(attachments)) {}

void UNMutableNotificationContent::setAttachments(
    std::vector<Strong<UNNotificationAttachment>> attachments) {
  std::vector<Strong<UNNotificationAttachment>> old;
  {
    objc::MutexLock lock(mu_);
    old = std::exchange(attachments_, std::move(attachments));
  }
  // The replaced attachments are released here, outside the lock.
}
