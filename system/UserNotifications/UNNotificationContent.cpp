#include "UserNotifications/UNNotificationContent.hpp"

#include <utility>

constinit const objc_class objc_class_UNNotificationContent =
    objc::makeClass(&objc_class_NSObject, "UNNotificationContent", sizeof(UNNotificationContent));
OBJC_CLASSLIST_ENTRY(objc_class_UNNotificationContent);

constinit const objc_class objc_class_UNMutableNotificationContent =
    objc::makeClass(&objc_class_UNNotificationContent, "UNMutableNotificationContent",
                    sizeof(UNMutableNotificationContent));
OBJC_CLASSLIST_ENTRY(objc_class_UNMutableNotificationContent);

Class UNNotificationContent::classRecord() { return &objc_class_UNNotificationContent; }
Class UNMutableNotificationContent::classRecord() noexcept {
  return &objc_class_UNMutableNotificationContent;
}

UNNotificationContent::UNNotificationContent(user_notifications::ContentFields fields)
    : UNNotificationContent(
          &objc_class_UNNotificationContent,
          std::make_shared<const user_notifications::ContentFields>(std::move(fields)), {}) {}

UNNotificationContent::UNNotificationContent(
    Class cls, SharedFields fields, std::vector<objc::Strong<UNNotificationAttachment>> attachments)
    : NSObject(cls), attachments_(std::move(attachments)), fields_(std::move(fields)) {}

std::vector<objc::Strong<UNNotificationAttachment>> UNNotificationContent::attachments() const {
  base::MutexLock lock(mu_);
  return attachments_;
}

objc::Strong<NSObject> UNNotificationContent::mutableCopy() const noexcept {
  return objc::makeStrong<UNMutableNotificationContent>(fields_, attachments());
}

UNMutableNotificationContent::UNMutableNotificationContent(
    user_notifications::ContentFields fields,
    std::vector<objc::Strong<UNNotificationAttachment>> attachments)
    : UNMutableNotificationContent(
          std::make_shared<const user_notifications::ContentFields>(std::move(fields)),
          std::move(attachments)) {}

UNMutableNotificationContent::UNMutableNotificationContent(
    SharedFields fields, std::vector<objc::Strong<UNNotificationAttachment>> attachments)
    : UNNotificationContent(&objc_class_UNMutableNotificationContent, std::move(fields),
                            std::move(attachments)) {}

void UNMutableNotificationContent::setAttachments(
    std::vector<objc::Strong<UNNotificationAttachment>> attachments) noexcept {
  std::vector<objc::Strong<UNNotificationAttachment>> old;
  {
    base::MutexLock lock(mu_);
    old = std::exchange(attachments_, std::move(attachments));
  }
  // The replaced attachments are released here, outside the lock.
}
