#include "UserNotifications/UNNotificationAttachment.hpp"

#include <fcntl.h>
#include <magic.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "objc/Mutex.hpp"

constinit const objc_class objc_class_UNNotificationAttachment = {
    .superclass = &objc_class_NSObject,
    .name = "UNNotificationAttachment",
    .instanceSize = sizeof(UNNotificationAttachment),
    .methods = nullptr,
    .methodCount = 0,
    .ivars = nullptr,
    .ivarCount = 0,
    .classMethods = nullptr,
    .classMethodCount = 0,
    .create = nullptr,
};
OBJC_CLASSLIST_ENTRY(objc_class_UNNotificationAttachment);

namespace {

// How many leading bytes are handed to libmagic: every accepted format announces itself in
// its first few bytes, and reading more would cost a large file's worth of I/O.
constexpr std::size_t kSniffBytes = 4096;

// libmagic's handle is not thread-safe and loading its database costs several megabytes, so
// one handle is loaded on first use and shared under a lock. Never freed: attachments may be
// checked until the process exits.
struct Magic {
  objc::Mutex mu;
  magic_t cookie GUARDED_BY(mu) = nullptr;
  bool loaded GUARDED_BY(mu) = false;
};

Magic& sharedMagic() {
  static Magic* magic = new Magic;
  return *magic;
}

std::optional<std::string> mimeTypeOf(const void* bytes, std::size_t count) {
  Magic& m = sharedMagic();
  objc::MutexLock lock(m.mu);
  if (!m.loaded) {
    m.loaded = true;
    m.cookie = magic_open(MAGIC_MIME_TYPE | MAGIC_NO_CHECK_COMPRESS | MAGIC_NO_CHECK_ELF |
                          MAGIC_NO_CHECK_TAR | MAGIC_NO_CHECK_CDF | MAGIC_NO_CHECK_ENCODING);
    if (m.cookie != nullptr && magic_load(m.cookie, nullptr) != 0) {
      magic_close(m.cookie);
      m.cookie = nullptr;
    }
  }
  if (m.cookie == nullptr) return std::nullopt;
  const char* mime = magic_buffer(m.cookie, bytes, count);
  if (mime == nullptr) return std::nullopt;
  return std::string(mime);
}

NSError attachmentError(long code, std::string description) {
  return NSError{UNErrorDomain, code, std::move(description)};
}

}  // namespace

std::optional<std::string> UNImageTypeIdentifierForBytes(const void* bytes, std::size_t count) {
  if (count == 0) return std::nullopt;
  std::optional<std::string> mime = mimeTypeOf(bytes, count);
  if (!mime) return std::nullopt;
  if (*mime == "image/jpeg") return "public.jpeg";
  if (*mime == "image/png") return "public.png";
  if (*mime == "image/gif") return "com.compuserve.gif";
  if (*mime == "image/webp") return "org.webmproject.webp";
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
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    int err = errno;
    return fail(attachmentError(UNErrorCodeAttachmentInvalidURL,
                                "open(" + path + "): " + std::strerror(err)));
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return fail(attachmentError(UNErrorCodeAttachmentInvalidURL, "not a regular file: " + path));
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > kUNNotificationAttachmentMaximumImageBytes) {
    close(fd);
    return fail(attachmentError(UNErrorCodeAttachmentInvalidFileSize,
                                "file of " + std::to_string(size) + " bytes is over the limit: " +
                                    path));
  }
  char head[kSniffBytes];
  std::size_t got = 0;
  while (got < sizeof head) {
    ssize_t n = read(fd, head + got, sizeof head - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  std::optional<std::string> type = UNImageTypeIdentifierForBytes(head, got);
  if (!type) {
    return fail(attachmentError(UNErrorCodeAttachmentUnrecognizedType,
                                "not a JPEG, PNG, GIF or WebP image: " + path));
  }
  return Strong<UNNotificationAttachment>::adopt(
      new UNNotificationAttachment(identifier, url, std::move(*type)));
}
