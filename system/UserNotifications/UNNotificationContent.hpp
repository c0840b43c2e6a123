// UNNotificationContent: what a notification shows, as it arrived (immutable apart from its
// attachments, which only the mutable subclass changes). UNMutableNotificationContent: the
// changeable copy that an extension delivers.
//
// Thread-safe: the fields are fixed at construction, and the attachments list is guarded
// by the content itself, so a delivery on one thread may read it while another replaces it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "UserNotifications/Export.hpp"
#include "UserNotifications/UNNotificationAttachment.hpp"
#include "base/Mutex.hpp"
#include "objc/NSObject.hpp"
#include "objc/Strong.hpp"

namespace user_notifications {

// What a content shows, fixed when the content is made.
struct ContentFields {
  std::string title;
  std::string subtitle;
  std::string body;
  nlohmann::json badge;  // null or a number
  nlohmann::json sound;  // null, or as the payload gives it
  std::string threadIdentifier;
  std::string categoryIdentifier;
  nlohmann::json userInfo = nlohmann::json::object();  // the payload as it arrived
};

}  // namespace user_notifications

extern const objc_class objc_class_UNNotificationContent;
extern const objc_class objc_class_UNMutableNotificationContent;

class UNNotificationContent : public NSObject {
 public:
  static Class classRecord();

  explicit UNNotificationContent(user_notifications::ContentFields fields);

  const std::string& title() const { return fields_->title; }
  const std::string& subtitle() const { return fields_->subtitle; }
  const std::string& body() const { return fields_->body; }
  const nlohmann::json& badge() const { return fields_->badge; }
  const nlohmann::json& sound() const { return fields_->sound; }
  const std::string& threadIdentifier() const { return fields_->threadIdentifier; }
  const std::string& categoryIdentifier() const { return fields_->categoryIdentifier; }
  const nlohmann::json& userInfo() const { return fields_->userInfo; }
  // A snapshot of the attachments at this moment.
  std::vector<objc::Strong<UNNotificationAttachment>> attachments() const EXCLUDES(mu_);

  // A new UNMutableNotificationContent with the same fields and attachments; this object
  // does not change. Returned as a plain object, as the platform's mutableCopy is. The copy
  // shares the fields, which neither object changes, rather than copying the user info.
  UN_EXPORT objc::Strong<NSObject> mutableCopy() const noexcept;

 protected:
  using SharedFields = std::shared_ptr<const user_notifications::ContentFields>;

  UNNotificationContent(Class cls, SharedFields fields,
                        std::vector<objc::Strong<UNNotificationAttachment>> attachments);

  mutable base::Mutex mu_;
  std::vector<objc::Strong<UNNotificationAttachment>> attachments_ GUARDED_BY(mu_);

 private:
  const SharedFields fields_;  // never null
};

class UNMutableNotificationContent : public UNNotificationContent {
 public:
  UN_EXPORT static Class classRecord() noexcept;

  explicit UNMutableNotificationContent(
      user_notifications::ContentFields fields,
      std::vector<objc::Strong<UNNotificationAttachment>> attachments = {});

  // The copy that mutableCopy makes: the same fields, shared.
  UNMutableNotificationContent(SharedFields fields,
                               std::vector<objc::Strong<UNNotificationAttachment>> attachments);

  // Replaces the attachments whole.
  UN_EXPORT void setAttachments(
      std::vector<objc::Strong<UNNotificationAttachment>> attachments) noexcept EXCLUDES(mu_);
};
