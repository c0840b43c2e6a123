#include "UserNotifications/UNNotificationAttachment.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "System/os_log.hpp"
#include "UserNotifications/AttachmentStore.hpp"
#include "UserNotifications/AttachmentType.hpp"
#include "base/FileDescriptor.hpp"

constinit const objc_class objc_class_UNNotificationAttachment = objc::makeClass(
    &objc_class_NSObject, "UNNotificationAttachment", sizeof(UNNotificationAttachment));
OBJC_CLASSLIST_ENTRY(objc_class_UNNotificationAttachment);

namespace {

NSError attachmentError(long code, std::string description) {
  return NSError{UNErrorDomain, code, std::move(description)};
}

// `size`, when a file of that many bytes is within the limit.
foundation::Result<std::uint64_t> sizeWithinLimit(std::uint64_t size, const std::string& path) {
  if (size > user_notifications::largestAttachmentBytes()) {
    return attachmentError(UNErrorCodeAttachmentInvalidFileSize,
                           "file of " + std::to_string(size) + " bytes is over the limit: " + path);
  }
  return size;
}

// The size of the regular file open at `fd`, when it is within the limit.
foundation::Result<std::uint64_t> imageFileSize(int fd, const std::string& path) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    return attachmentError(UNErrorCodeAttachmentInvalidURL, "not a regular file: " + path);
  }
  return sizeWithinLimit(static_cast<std::uint64_t>(st.st_size), path);
}

// The type of the whole image in the file of `size` bytes open at `fd`, checked from its
// first byte to its end; the error names `path`.
foundation::Result<std::string> wholeImageFileType(int fd, std::uint64_t size,
                                                   const std::string& path) {
  foundation::Result<user_notifications::AttachmentType> type =
      user_notifications::wholeAttachmentType(fd, size);
  if (!type.ok()) {
    NSError error = type.error();
    error.description += ": " + path;
    return error;
  }
  return std::string(type->identifier);
}

}  // namespace

Class UNNotificationAttachment::classRecord() { return &objc_class_UNNotificationAttachment; }

UNNotificationAttachment::UNNotificationAttachment(
    std::string identifier, URL url, std::string type,
    std::unique_ptr<const user_notifications::StoredFile> stored)
    : NSObject(&objc_class_UNNotificationAttachment),
      identifier_(std::move(identifier)),
      url_(std::move(url)),
      type_(std::move(type)),
      stored_(std::move(stored)) {}

UNNotificationAttachment::~UNNotificationAttachment() = default;

objc::Strong<UNNotificationAttachment> UNNotificationAttachment::attachmentWithIdentifier(
    const std::string& identifier, const URL& url, const UNNotificationAttachmentOptions* options,
    std::optional<NSError>* error) noexcept {
  std::optional<NSError> refused;
  objc::Strong<UNNotificationAttachment> attachment = make(identifier, url, options, refused);
  static const os_log_t log =
      os_log_create("com.halvicourt.UserNotifications", "UNNotificationAttachment");
  SYSTEM_LOG_EVENT(log, OS_LOG_TYPE_INFO, "attachment",
                   {{"file", url.isFileURL() ? url.path() : url.absoluteString()},
                    {"accepted", static_cast<bool>(attachment)},
                    attachment ? system_log::Field("type", attachment->type())
                               : system_log::Field("type", nullptr),
                    refused ? system_log::Field("reason", refused->description)
                            : system_log::Field("reason", nullptr)});
  // Taken or refused, the extension's file is the extension's again.
  if (const std::shared_ptr<user_notifications::AttachmentStore> store =
          user_notifications::AttachmentStore::shared();
      store && url.isFileURL()) {
    store->settled(url.path());
  }
  if (error != nullptr && refused) *error = std::move(refused);
  return attachment;
}

objc::Strong<UNNotificationAttachment> UNNotificationAttachment::make(
    const std::string& identifier, const URL& url, const UNNotificationAttachmentOptions*,
    std::optional<NSError>& error) {
  auto fail = [&](NSError e) {
    error = std::move(e);
    return objc::Strong<UNNotificationAttachment>();
  };
  if (!url.isFileURL()) {
    return fail(attachmentError(UNErrorCodeAttachmentInvalidURL,
                                "not a file URL: " + url.absoluteString()));
  }
  const std::string path = url.path();
  // O_NOFOLLOW: a link planted in the caches directory must not attach a file elsewhere.
  base::FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.valid()) {
    return fail(attachmentError(UNErrorCodeAttachmentInvalidURL,
                                "open(" + path + "): " + foundation::errorString(errno)));
  }
  foundation::Result<std::uint64_t> size = imageFileSize(fd.get(), path);
  if (!size.ok()) {
    return fail(size.error());
  }

  const std::shared_ptr<user_notifications::AttachmentStore> store =
      user_notifications::AttachmentStore::shared();
  if (!store) {
    // No store was set up (a process other than the host): the file is checked where it is.
    foundation::Result<std::string> type = wholeImageFileType(fd.get(), *size, path);
    if (!type.ok()) return fail(type.error());
    return objc::Strong<UNNotificationAttachment>::adopt(
        new UNNotificationAttachment(identifier, url, std::move(*type), nullptr));
  }

  foundation::Result<user_notifications::StoredFile> stored =
      store->take(fd, path.substr(path.rfind('/') + 1));
  if (!stored.ok()) {
    return fail(
        attachmentError(UNErrorCodeAttachmentMoveIntoDataStoreFailed, stored.error().description));
  }
  // The store's file is what is checked: the bytes shown are the bytes that passed.
  foundation::Result<std::string> type =
      wholeImageFileType(stored->descriptor(), stored->bytes(), stored->path());
  if (!type.ok()) {
    stored->discard();
    return fail(type.error());
  }
  stored->closeDescriptor();
  URL storedURL = URL::fileURLWithPath(stored->path());
  return objc::Strong<UNNotificationAttachment>::adopt(new UNNotificationAttachment(
      identifier, std::move(storedURL), std::move(*type),
      std::make_unique<const user_notifications::StoredFile>(std::move(*stored))));
}
