// UNNotificationRequest: an arriving notification: its identifier and its content.
// Immutable, so thread-safe.
#pragma once

#include <string>

#include "UserNotifications/Export.hpp"
#include "UserNotifications/UNNotificationContent.hpp"
#include "objc/NSObject.hpp"
#include "objc/Strong.hpp"

extern const objc_class objc_class_UNNotificationRequest;

class UNNotificationRequest : public NSObject {
 public:
  static Class classRecord();

  UNNotificationRequest(std::string identifier, objc::Strong<UNNotificationContent> content);

  const std::string& identifier() const { return identifier_; }
  // REQUIRES: nothing; never absent.
  const objc::Strong<UNNotificationContent>& content() const { return content_; }

 private:
  const std::string identifier_;
  const objc::Strong<UNNotificationContent> content_;
};
