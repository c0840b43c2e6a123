// NotificationService: the extension's principal class. For each request it keeps the
// content handler and a mutable copy of the content; when the payload's user info carries an
// image address under "image", it downloads the image into the user caches directory,
// attaches it as "image_downloaded" and delivers the copy. When the time granted runs out it
// delivers its best attempt so far. It keeps no record of a delivery, so one request may be
// delivered twice: once by the download and once by the time expiry.
//
// Instances are made by the object runtime and driven by the platform, which sends one
// instance's messages from one thread at a time; the service takes no lock. The delivery
// continuation runs on the URL session's callback queue and shares the content object (which
// guards its own attachments) and the content handler, but not the service.
#pragma once

#include <functional>
#include <optional>

#include "Foundation/URL.hpp"
#include "UserNotifications/UNNotificationContent.hpp"
#include "UserNotifications/UNNotificationRequest.hpp"
#include "UserNotifications/UNNotificationServiceExtension.hpp"
#include "objc/Strong.hpp"

// Hands content to the system for display. Every copy calls the same platform block.
using ContentHandler = std::function<void(const objc::Strong<UNNotificationContent>&)>;

class NotificationService : public UNNotificationServiceExtension {
 public:
  // Both stored properties start absent. Made by the runtime through the class record.
  explicit NotificationService(Class cls);

  // Sets both stored properties absent; the base class's init follows in the message.
  void init();

  // Stores the handler and a mutable copy of the request's content, then starts the image
  // download when the payload names an image. Never delivers before returning.
  void didReceive(const objc::Strong<UNNotificationRequest>& request,
                  ContentHandler contentHandler);
  // Delivers the stored copy, as it is now, to the stored handler, when both are present.
  void serviceExtensionTimeWillExpire();

  // Stored properties; each accessor reads or writes the whole value once.
  std::optional<ContentHandler> contentHandler() const { return contentHandler_; }
  void setContentHandler(std::optional<ContentHandler> handler) {
    contentHandler_ = std::move(handler);
  }
  objc::Strong<UNMutableNotificationContent> bestAttemptContent() const {
    return bestAttemptContent_;
  }
  void setBestAttemptContent(objc::Strong<UNMutableNotificationContent> content) {
    bestAttemptContent_ = std::move(content);
  }

  // Called by the runtime while the instance is destroyed: releases the content handler
  // when present, then the content.
  void destroyStoredProperties();

 private:
  friend struct NotificationServiceLayout;

  // Fetches `url`, stores the body in the caches directory and calls `handler` once, on the
  // URL session's callback queue, with the stored file's URL or absent.
  void downloadAndSave(const URL& url, std::function<void(std::optional<URL>)> handler);

  std::optional<ContentHandler> contentHandler_;
  objc::Strong<UNMutableNotificationContent> bestAttemptContent_;
};
