// UNNotificationAttachment: a media file attached to a notification. Made only through the
// factory, which checks the file; immutable afterwards, so thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Foundation/NSError.hpp"
#include "Foundation/URL.hpp"
#include "objc/NSObject.hpp"
#include "objc/Strong.hpp"

// Attachment options; none are used, so the type carries nothing yet.
struct UNNotificationAttachmentOptions {};

inline constexpr const char* UNErrorDomain = "UNErrorDomain";
inline constexpr long UNErrorCodeAttachmentInvalidURL = 100;
inline constexpr long UNErrorCodeAttachmentUnrecognizedType = 101;
inline constexpr long UNErrorCodeAttachmentInvalidFileSize = 102;
inline constexpr long UNErrorCodeAttachmentNotInDataStore = 103;

// The largest image file the platform accepts as an attachment.
inline constexpr std::uint64_t kUNNotificationAttachmentMaximumImageBytes = 10u * 1024u * 1024u;

extern const objc_class objc_class_UNNotificationAttachment;

class UNNotificationAttachment : public NSObject {
 public:
  static Class classRecord();

  // An attachment for `url` when it is a file URL of an existing regular file (a symbolic
  // link is refused) of at most 10 MiB whose bytes are a JPEG, PNG, GIF or WebP image;
  // otherwise absent, with `error` (when given) saying why. Thread-safe.
  static Strong<UNNotificationAttachment> attachmentWithIdentifier(
      const std::string& identifier, const URL& url, const UNNotificationAttachmentOptions* options,
      std::optional<NSError>* error);

  const std::string& identifier() const { return identifier_; }
  const URL& url() const { return url_; }
  // The uniform type identifier: "public.jpeg", "public.png", "com.compuserve.gif",
  // "org.webmproject.webp".
  const std::string& type() const { return type_; }

 private:
  UNNotificationAttachment(std::string identifier, URL url, std::string type);

  const std::string identifier_;
  const URL url_;
  const std::string type_;
};

// The type identifier of image bytes recognised by their signature, or absent when they
// are none of the four accepted formats. Exposed for tests. Thread-safe.
std::optional<std::string> UNImageTypeIdentifierForBytes(const void* bytes, std::size_t count);
