// UNNotificationAttachment: a media file attached to a notification. Made only through the
// factory, which checks the file and, when the host set up an attachment store, names the
// store's own copy of it; immutable afterwards, so thread-safe. An attachment holds its
// store file for as long as it lives.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Foundation/NSError.hpp"
#include "Foundation/URL.hpp"
#include "UserNotifications/Export.hpp"
#include "UserNotifications/UNError.hpp"
#include "objc/NSObject.hpp"
#include "objc/Strong.hpp"

// Attachment options; none are used, so the type carries nothing yet.
struct UNNotificationAttachmentOptions {};

namespace user_notifications {
class StoredFile;  // AttachmentStore.hpp
}  // namespace user_notifications

extern const objc_class objc_class_UNNotificationAttachment;

class UNNotificationAttachment : public NSObject {
 public:
  static Class classRecord();

  // An attachment for `url` when it is a file URL of an existing regular file (a symbolic
  // link is refused) that holds one whole image, audio or video file of a kind the platform
  // shows, within that kind's size limit (user_notifications::wholeAttachmentType: 10 MiB for
  // an image, 5 MiB for audio, 50 MiB for video); otherwise absent, with `error` (when given)
  // saying why. With a shared AttachmentStore, the store takes its own copy of the file that was
  // opened, that copy is what is checked (and removed when refused), and the attachment's
  // URL names it; without one, the URL is `url`. Logs an "attachment" event (subsystem
  // com.halvicourt.UserNotifications, category UNNotificationAttachment): the file,
  // "accepted", the "type" or the "reason" it was refused. Thread-safe.
  UN_EXPORT static objc::Strong<UNNotificationAttachment> attachmentWithIdentifier(
      const std::string& identifier, const URL& url, const UNNotificationAttachmentOptions* options,
      std::optional<NSError>* error) noexcept;

  const std::string& identifier() const { return identifier_; }
  const URL& url() const { return url_; }
  // The uniform type identifier the bytes turned out to be: "public.jpeg", "public.mp3",
  // "public.mpeg-4", ... (user_notifications::AttachmentType lists them).
  const std::string& type() const { return type_; }

 private:
  UNNotificationAttachment(std::string identifier, URL url, std::string type,
                           std::unique_ptr<const user_notifications::StoredFile> stored);
  ~UNNotificationAttachment() override;
  // attachmentWithIdentifier without its event.
  static objc::Strong<UNNotificationAttachment> make(const std::string& identifier, const URL& url,
                                                     const UNNotificationAttachmentOptions* options,
                                                     std::optional<NSError>& error);

  const std::string identifier_;
  const URL url_;
  const std::string type_;
  // The store's file, held while this lives; null without a store.
  const std::unique_ptr<const user_notifications::StoredFile> stored_;
};
