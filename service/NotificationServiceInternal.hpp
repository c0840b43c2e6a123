// Helpers private to NotificationService, exposed here for its tests only.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Foundation/Data.hpp"
#include "Foundation/FileManager.hpp"
#include "Foundation/URL.hpp"
#include "service/NotificationService.hpp"

namespace notification_service {

// The lowercase hex MD5 digest of the text's UTF-8 bytes: 32 characters. Text that is not
// well-formed UTF-8 gives thirty-two zeros.
std::string md5(std::string_view text);

// The user caches directory's path.
std::string cachesDirectory(const FileManager& fileManager);

// The file the body of `url` is stored in: <caches>/<md5 of the address>.<path extension>;
// absent when no file name can carry the extension.
std::optional<URL> cacheFileURL(const URL& url);

// Stores `body` for `url` and gives the file's URL, or absent when nothing was stored. The
// body is let go on return: the attachment reads the file back, and the memory is free for
// that by then.
std::optional<URL> saveBody(const URL& url, std::optional<Data> body);

// The delivery continuation for one request: attaches the stored file, if any and accepted,
// to `content` and calls `contentHandler` with it.
std::function<void(std::optional<URL>)> makeDeliveryContinuation(
    objc::Strong<UNMutableNotificationContent> content, ContentHandler contentHandler);

}  // namespace notification_service
