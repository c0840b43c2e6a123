#include "host/Desktop.hpp"

#include <dlfcn.h>

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "Foundation/NSBundle.hpp"
#include "UserNotifications/AttachmentStore.hpp"
#include "UserNotifications/AttachmentType.hpp"
#include "UserNotifications/UNNotificationContent.hpp"
#include "host/AppBundle.hpp"

namespace host {

namespace {

// As many notifications as the host remembers for their closings: beyond that, a server that
// never reports closings would grow the record without end. The store's own limit still
// removes the files of those forgotten.
constexpr std::size_t kMaximumOnScreen = 4096;

// The plug-in's file name alone: dlopen then searches this library's RUNPATH ($ORIGIN), the
// Frameworks folder the two are built into. It stays loaded for the life of the process,
// since the presenters it makes run its code until they go.
constexpr const char* kPlugIn = "libDesktopNotifications.so";

// What a video's frame is named after the video's name in the store.
constexpr std::string_view kThumbnailSuffix = ".thumbnail.png";

foundation::Result<DesktopPresenterConnectFunction> loadPlugIn() {
  void* library = dlopen(kPlugIn, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    return NSError{NSCocoaErrorDomain, NSExecutableLoadError, std::string("dlopen: ") + dlerror()};
  }
  auto connect = reinterpret_cast<DesktopPresenterConnectFunction>(
      dlsym(library, kDesktopPresenterConnectSymbol));
  if (connect == nullptr) {
    return NSError{NSCocoaErrorDomain, NSExecutableLoadError, std::string("dlsym: ") + dlerror()};
  }
  return connect;
}

}  // namespace

DesktopNotification desktopNotification(std::uint64_t post, const std::string& id,
                                        const UNNotificationContent& content, const NSBundle* app) {
  DesktopNotification notification{
      post, id, content.title(), content.subtitle(), content.body(), std::nullopt, ""};
  switch (content.interruptionLevel()) {
    case UNNotificationInterruptionLevelPassive:
      notification.urgency = 0;
      break;
    case UNNotificationInterruptionLevelCritical:
      notification.urgency = 2;
      break;
    case UNNotificationInterruptionLevelActive:
    case UNNotificationInterruptionLevelTimeSensitive:
      notification.urgency = 1;
      break;
  }
  if (const objc::Strong<UNNotificationSound>& sound = content.sound()) {
    notification.sound = sound->isDefault() ? "default" : sound->name();
    if (!sound->isDefault() && app != nullptr) {
      notification.soundFile = app->pathForResource(sound->name(), "").value_or("");
    }
  }
  // A server shows an image beside the text; a sound or a clip given as one would be refused
  // or shown broken, so a clip is shown by a frame of it.
  for (const objc::Strong<UNNotificationAttachment>& attachment : content.attachments()) {
    const std::optional<user_notifications::AttachmentKind> kind =
        user_notifications::attachmentKind(attachment->type());
    if (kind == user_notifications::AttachmentKind::image) {
      notification.imageURL = attachment->url().absoluteString();
      break;
    }
    if (kind == user_notifications::AttachmentKind::video) {
      const std::shared_ptr<user_notifications::AttachmentStore> store =
          user_notifications::AttachmentStore::shared();
      const std::string video = attachment->url().path();
      std::optional<std::string> frame =
          store ? store->derivedPath(video, kThumbnailSuffix) : std::nullopt;
      if (frame) {
        notification.videoPath = video;
        notification.thumbnailPath = std::move(*frame);
      }
      break;
    }
  }
  return notification;
}

foundation::Result<std::unique_ptr<Desktop>> Desktop::connect(const std::string& appName,
                                                              Diagnostics& diagnostics) {
  foundation::Result<DesktopPresenterConnectFunction> connect = loadPlugIn();
  if (!connect.ok()) return connect.error();
  std::unique_ptr<Desktop> desktop(new Desktop(diagnostics));
  NSError error;
  DesktopPresenter* presenter = (*connect)(appName.c_str(), desktop.get(), &error);
  if (presenter == nullptr) return error;
  desktop->presenter_.reset(presenter);
  return desktop;
}

Desktop::~Desktop() { presenter_.reset(); }

void Desktop::removeFromStore(const std::string& file) {
  // Without a store the file is the extension's caches file, which is not the host's to remove.
  if (file.empty()) return;
  if (std::shared_ptr<user_notifications::AttachmentStore> store =
          user_notifications::AttachmentStore::shared()) {
    store->remove(file);
  }
}

void Desktop::show(const std::string& id, const UNNotificationContent& content,
                   const std::string* replaces) {
  std::vector<objc::Strong<UNNotificationAttachment>> attachments = content.attachments();
  std::uint64_t post = 0;
  {
    base::MutexLock lock(mu_);
    post = ++posts_;
  }
  DesktopNotification notification = desktopNotification(post, id, content, appBundle());
  std::string replacedThumbnail;
  {
    base::MutexLock lock(mu_);
    if (auto earlier = replaces != nullptr ? postOfRequest_.find(*replaces) : postOfRequest_.end();
        earlier != postOfRequest_.end()) {
      // The server gives this post the earlier one's id, and reports no closing of the
      // earlier: the host releases the earlier's attachments, and its frame goes here.
      notification.replaces = earlier->second;
      if (std::optional<Posted> posted = forget(earlier->second)) {
        replacedThumbnail = std::move(posted->thumbnail);
      }
    }
    // Recorded before the post, so that its closing always finds it.
    onScreen_.emplace(post, Posted{id, attachments.empty() ? "" : attachments.front()->url().path(),
                                   notification.thumbnailPath});
    postOfRequest_[id] = post;
    if (onScreen_.size() > kMaximumOnScreen) forget(onScreen_.begin()->first);
  }
  presenter_->post(std::move(notification));
  removeFromStore(replacedThumbnail);
}

std::optional<Desktop::Posted> Desktop::forget(std::uint64_t post) {
  auto it = onScreen_.find(post);
  if (it == onScreen_.end()) return std::nullopt;
  Posted posted = std::move(it->second);
  onScreen_.erase(it);
  if (auto request = postOfRequest_.find(posted.requestIdentifier);
      request != postOfRequest_.end() && request->second == post) {
    postOfRequest_.erase(request);
  }
  return posted;
}

void Desktop::finish() {
  presenter_->flush();
  presenter_.reset();
}

bool Desktop::refusedAny() {
  base::MutexLock lock(mu_);
  return refusedAny_;
}

void Desktop::closed(std::uint64_t post) noexcept {
  std::string file;
  std::string thumbnail;
  {
    base::MutexLock lock(mu_);
    std::optional<Posted> posted = forget(post);
    if (!posted) return;
    file = std::move(posted->file);
    thumbnail = std::move(posted->thumbnail);
  }
  // Nothing shows the image any more.
  removeFromStore(file);
  removeFromStore(thumbnail);
}

void Desktop::thumbnailWritten(std::uint64_t, const std::string& path) noexcept {
  // Written by the plug-in, the frame counts towards the store's limit like any of its files.
  if (std::shared_ptr<user_notifications::AttachmentStore> store =
          user_notifications::AttachmentStore::shared()) {
    store->noteWritten(path);
  }
}

void Desktop::failed(std::uint64_t post, const std::string& requestIdentifier,
                     const NSError& error) noexcept {
  std::string thumbnail;
  {
    base::MutexLock lock(mu_);
    // Never shown, so never closed: its file is left to the store's limit, and its frame,
    // which nothing else will show, goes now.
    if (std::optional<Posted> posted = forget(post)) thumbnail = std::move(posted->thumbnail);
    refusedAny_ = true;
  }
  removeFromStore(thumbnail);
  diagnostics_.report("request \"" + requestIdentifier +
                      "\": desktop notification failed: " + error.description);
}

}  // namespace host
