#include "service/NotificationService.hpp"

#include <cstdint>
#include <limits>
#include <span>
#include <utility>

#include "Foundation/FileManager.hpp"
#include "Foundation/Text.hpp"
#include "Foundation/URLSession.hpp"
#include "System/CommonDigest.hpp"
#include "UserNotifications/UNNotificationAttachment.hpp"
#include "service/NotificationServiceInternal.hpp"

namespace notification_service {

std::string md5(std::string_view text) {
  unsigned char digest[CC_MD5_DIGEST_LENGTH] = {};
  // The digest takes a 32-bit length; longer text keeps the all-zero digest rather than
  // digesting a truncated prefix.
  if (std::optional<Data> bytes = dataUsingUTF8(text);
      bytes && bytes->count() <= std::numeric_limits<std::uint32_t>::max()) {
    bytes->withUnsafeBytes([&](std::span<const std::uint8_t> b) {
      CC_MD5(b.data(), static_cast<std::uint32_t>(b.size()), digest);
    });
  }
  return foundation::hexString(digest);
}

std::string cachesDirectory(const FileManager& fileManager) {
  std::vector<URL> urls = fileManager.urls(NSCachesDirectory, NSUserDomainMask);
  return urls.empty() ? std::string() : urls.front().path();
}

std::optional<URL> cacheFileURL(const URL& url) {
  const std::string extension = pathExtension(url.absoluteString());
  const std::string directory = cachesDirectory(FileManager::defaultManager());
  // Without a caches directory there is nowhere to store; the working directory is not it.
  if (directory.empty()) return std::nullopt;
  return URL::fileURLWithPath(directory)
      .appendingPathComponent(md5(url.absoluteString()))
      .appendingPathExtension(extension);
}

std::optional<URL> saveBody(const URL& url, std::optional<Data> body) {
  if (!body) return std::nullopt;
  std::optional<URL> file = cacheFileURL(url);
  if (!file) return std::nullopt;
  // Written aside and renamed into place: two downloads of one address never hand the
  // attachment a half-written file, a failed write leaves nothing, and a link planted at
  // the name is replaced, not written through.
  if (!body->write(*file, Data::atomic).ok()) return std::nullopt;
  return file;
}

std::function<void(std::optional<URL>)> makeDeliveryContinuation(
    objc::Strong<UNMutableNotificationContent> content, ContentHandler contentHandler) {
  return [content = std::move(content),
          contentHandler = std::move(contentHandler)](std::optional<URL> localURL) {
    if (localURL) {
      std::optional<NSError> error;
      objc::Strong<UNNotificationAttachment> attachment =
          UNNotificationAttachment::attachmentWithIdentifier("image_downloaded", *localURL, nullptr,
                                                             &error);
      if (attachment) content->setAttachments({std::move(attachment)});
    }
    contentHandler(content);
  };
}

}  // namespace notification_service

using namespace notification_service;

NotificationService::NotificationService(Class cls) : UNNotificationServiceExtension(cls) {}

void NotificationService::init() {
  setContentHandler(std::nullopt);
  setBestAttemptContent(nullptr);
}

void NotificationService::didReceive(const objc::Strong<UNNotificationRequest>& request,
                                     ContentHandler contentHandler) {
  setContentHandler(contentHandler);
  setBestAttemptContent(
      objc::dynamicCast<UNMutableNotificationContent>(request->content()->mutableCopy()));

  objc::Strong<UNMutableNotificationContent> bestAttempt = bestAttemptContent();
  if (!bestAttempt) return;
  const nlohmann::json& userInfo = bestAttempt->userInfo();
  auto image = userInfo.find("image");
  if (image == userInfo.end() || !image->is_string()) return;
  std::optional<URL> url = URL::fromString(image->get_ref<const std::string&>());
  if (!url) return;
  downloadAndSave(*url,
                  makeDeliveryContinuation(std::move(bestAttempt), std::move(contentHandler)));
}

void NotificationService::serviceExtensionTimeWillExpire() {
  std::optional<ContentHandler> handler = contentHandler();
  if (!handler) return;
  objc::Strong<UNMutableNotificationContent> bestAttempt = bestAttemptContent();
  if (!bestAttempt) return;
  (*handler)(bestAttempt);
}

void NotificationService::downloadAndSave(const URL& url,
                                          std::function<void(std::optional<URL>)> handler) {
  URLSession& session = URLSession::sharedSession();
  objc::Strong<URLSessionDataTask> task = session.dataTask(
      url, [url, handler = std::move(handler)](
               std::optional<Data> body, std::optional<HTTPURLResponse>, std::optional<NSError>) {
        handler(saveBody(url, std::move(body)));
      });
  task->resume();
}

void NotificationService::destroyStoredProperties() {
  if (contentHandler_) contentHandler_.reset();
  bestAttemptContent_ = nullptr;
}
