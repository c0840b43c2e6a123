#include "UserNotifications/UNNotificationContent.hpp"

#include <utility>

constinit const objc_class objc_class_UNNotificationContent =
    objc_makeClass(&objc_class_NSObject, "UNNotificationContent", sizeof(UNNotificationContent));
OBJC_CLASSLIST_ENTRY(objc_class_UNNotificationContent);

constinit const objc_class objc_class_UNMutableNotificationContent =
    objc_makeClass(&objc_class_UNNotificationContent, "UNMutableNotificationContent",
                   sizeof(UNMutableNotificationContent));
OBJC_CLASSLIST_ENTRY(objc_class_UNMutableNotificationContent);

Class UNNotificationContent::classRecord() { return &objc_class_UNNotificationContent; }
Class UNMutableNotificationContent::classRecord() {
  return &objc_class_UNMutableNotificationContent;
}

UNNotificationContent::UNNotificationContent(UNNotificationContentFields fields)
    : UNNotificationContent(&objc_class_UNNotificationContent,
                            std::make_shared<const UNNotificationContentFields>(std::move(fields)),
                            {}) {}

UNNotificationContent::UNNotificationContent(
    Class cls, SharedFields fields, std::vector<Strong<UNNotificationAttachment>> attachments)
    : NSObject(cls), attachments_(std::move(attachments)), fields_(std::move(fields)) {}

std::vector<Strong<UNNotificationAttachment>> UNNotificationContent::attachments() const {
  base::MutexLock lock(mu_);
  return attachments_;
}

Strong<NSObject> UNNotificationContent::mutableCopy() const {
  return makeStrong<UNMutableNotificationContent>(fields_, attachments());
}

UNMutableNotificationContent::UNMutableNotificationContent(
    UNNotificationContentFields fields, std::vector<Strong<UNNotificationAttachment>> attachments)
    : UNMutableNotificationContent(
          std::make_shared<const UNNotificationContentFields>(std::move(fields)),
          std::move(attachments)) {}

UNMutableNotificationContent::UNMutableNotificationContent(
    SharedFields fields, std::vector<Strong<UNNotificationAttachment>> attachments)
    : UNNotificationContent(&objc_class_UNMutableNotificationContent, std::move(fields),
                            std::move(attachments)) {}

void UNMutableNotificationContent::setAttachments(
    std::vector<Strong<UNNotificationAttachment>> attachments) {
  std::vector<Strong<UNNotificationAttachment>> old;
  {
    base::MutexLock lock(mu_);
    old = std::exchange(attachments_, std::move(attachments));
  }
  // The replaced attachments are released here, outside the lock.
}
