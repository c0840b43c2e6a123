// UNNotificationContent: what a notification shows, as it arrived (immutable apart from its
// attachments, which only the mutable subclass changes). UNMutableNotificationContent: the
// changeable copy that an extension delivers.
//
// Thread-safe: the fields are fixed at construction, and the attachments list is guarded
// by the content itself, so a delivery on one thread may read it while another replaces it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "UserNotifications/Export.hpp"
#include "UserNotifications/UNNotificationAttachment.hpp"
#include "UserNotifications/UNNotificationSound.hpp"
#include "base/Mutex.hpp"
#include "objc/NSObject.hpp"
#include "objc/Strong.hpp"

// How urgently a notification asks for the user's attention, in the platform's order: passive
// ones are listed without lighting the screen or playing a sound, active ones are presented at
// once, time-sensitive ones may break through a focus, critical ones also through the mute
// switch.
enum UNNotificationInterruptionLevel : unsigned long {
  UNNotificationInterruptionLevelPassive = 0,
  UNNotificationInterruptionLevelActive = 1,
  UNNotificationInterruptionLevelTimeSensitive = 2,
  UNNotificationInterruptionLevelCritical = 3,
};

namespace user_notifications {

// What a content shows, fixed when the content is made.
struct ContentFields {
  std::string title;
  std::string subtitle;
  std::string body;
  nlohmann::json badge;                     // null or a number
  objc::Strong<UNNotificationSound> sound;  // null: silent
  std::string threadIdentifier;
  std::string categoryIdentifier;
  UNNotificationInterruptionLevel interruptionLevel = UNNotificationInterruptionLevelActive;
  double relevanceScore = 0;  // 0 to 1: which of the app's notifications a summary features
  std::optional<std::string> targetContentIdentifier;  // the window or scene to bring forward
  std::optional<std::string> filterCriteria;           // which focus lets the notification in
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
  // Null for a silent notification.
  const objc::Strong<UNNotificationSound>& sound() const { return fields_->sound; }
  const std::string& threadIdentifier() const { return fields_->threadIdentifier; }
  const std::string& categoryIdentifier() const { return fields_->categoryIdentifier; }
  UNNotificationInterruptionLevel interruptionLevel() const { return fields_->interruptionLevel; }
  double relevanceScore() const { return fields_->relevanceScore; }
  const std::optional<std::string>& targetContentIdentifier() const {
    return fields_->targetContentIdentifier;
  }
  const std::optional<std::string>& filterCriteria() const { return fields_->filterCriteria; }
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
