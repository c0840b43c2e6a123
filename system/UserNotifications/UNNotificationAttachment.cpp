#include "UserNotifications/UNNotificationAttachment.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>

#include "objc/FileDescriptor.hpp"

constinit const objc_class objc_class_UNNotificationAttachment = objc_plainClass(
    &objc_class_NSObject, "UNNotificationAttachment", sizeof(UNNotificationAttachment));
OBJC_CLASSLIST_ENTRY(objc_class_UNNotificationAttachment);

namespace {

// An accepted format is known by fixed bytes at its start; the whole of the four formats'
// signatures fits in the first twelve. A table, not libmagic: loading libmagic's database
// cost about 6 MB resident and a few milliseconds of every start, for the same answers on
// these four formats.
struct ImageSignature {
  std::string_view lead;  // at offset 0
  std::size_t tagOffset;  // where `tag` must follow, when there is one
  std::string_view tag;
  const char* typeIdentifier;
};

constexpr ImageSignature kImageSignatures[] = {
    {"\xFF\xD8\xFF", 0, "", "public.jpeg"},
    {"\x89PNG\r\n\x1A\n", 0, "", "public.png"},
    {"GIF87a", 0, "", "com.compuserve.gif"},
    {"GIF89a", 0, "", "com.compuserve.gif"},
    // A RIFF container, four bytes of length, then the form type.
    {"RIFF", 8, "WEBP", "org.webmproject.webp"},
};

constexpr std::size_t kSniffBytes = 12;

bool hasAt(std::string_view head, std::size_t offset, std::string_view bytes) {
  return head.size() >= offset + bytes.size() && head.substr(offset, bytes.size()) == bytes;
}

NSError attachmentError(long code, std::string description) {
  return NSError{UNErrorDomain, code, std::move(description)};
}

}  // namespace

std::optional<std::string> UNImageTypeIdentifierForBytes(const void* bytes, std::size_t count) {
  const std::string_view head(static_cast<const char*>(bytes), count);
  for (const ImageSignature& s : kImageSignatures) {
    if (hasAt(head, 0, s.lead) && hasAt(head, s.tagOffset, s.tag)) return s.typeIdentifier;
  }
  return std::nullopt;
}

Class UNNotificationAttachment::classRecord() { return &objc_class_UNNotificationAttachment; }

UNNotificationAttachment::UNNotificationAttachment(std::string identifier, URL url,
                                                   std::string type)
    : NSObject(&objc_class_UNNotificationAttachment),
      identifier_(std::move(identifier)),
      url_(std::move(url)),
      type_(std::move(type)) {}

Strong<UNNotificationAttachment> UNNotificationAttachment::attachmentWithIdentifier(
    const std::string& identifier, const URL& url, const UNNotificationAttachmentOptions*,
    std::optional<NSError>* error) {
  auto fail = [&](NSError e) {
    if (error != nullptr) *error = std::move(e);
    return Strong<UNNotificationAttachment>();
  };
  if (!url.isFileURL()) {
    return fail(attachmentError(UNErrorCodeAttachmentInvalidURL,
                                "not a file URL: " + url.absoluteString()));
  }
  const std::string path = url.path();
  // O_NOFOLLOW: a link planted in the caches directory must not attach a file elsewhere.
  const objc::FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.valid()) {
    return fail(attachmentError(UNErrorCodeAttachmentInvalidURL,
                                "open(" + path + "): " + foundation::errorString(errno)));
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return fail(attachmentError(UNErrorCodeAttachmentInvalidURL, "not a regular file: " + path));
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > kUNNotificationAttachmentMaximumImageBytes) {
    return fail(
        attachmentError(UNErrorCodeAttachmentInvalidFileSize,
                        "file of " + std::to_string(size) + " bytes is over the limit: " + path));
  }
  char head[kSniffBytes];
  std::size_t got = 0;
  while (got < sizeof head) {
    ssize_t n = read(fd.get(), head + got, sizeof head - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  std::optional<std::string> type = UNImageTypeIdentifierForBytes(head, got);
  if (!type) {
    return fail(attachmentError(UNErrorCodeAttachmentUnrecognizedType,
                                "not a JPEG, PNG, GIF or WebP image: " + path));
  }
  return Strong<UNNotificationAttachment>::adopt(
      new UNNotificationAttachment(identifier, url, std::move(*type)));
}
