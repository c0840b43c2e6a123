#include "host/Desktop.hpp"

#include <dlfcn.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "UserNotifications/AttachmentStore.hpp"
#include "UserNotifications/AttachmentType.hpp"
#include "UserNotifications/UNNotificationContent.hpp"

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
                                        const UNNotificationContent& content) {
  DesktopNotification notification{
      post, id, content.title(), content.subtitle(), content.body(), std::nullopt, ""};
  if (content.sound().is_string()) notification.sound = content.sound().get<std::string>();
  // A server shows an image beside the text; a sound or a clip given as one would be refused
  // or shown broken.
  for (const objc::Strong<UNNotificationAttachment>& attachment : content.attachments()) {
    if (user_notifications::attachmentKind(attachment->type()) ==
        user_notifications::AttachmentKind::image) {
      notification.imageURL = attachment->url().absoluteString();
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

void Desktop::show(const std::string& id, const UNNotificationContent& content,
                   const std::string* replaces) {
  std::vector<objc::Strong<UNNotificationAttachment>> attachments = content.attachments();
  DesktopNotification notification = desktopNotification(0, id, content);
  {
    base::MutexLock lock(mu_);
    notification.post = ++posts_;
    if (auto earlier = replaces != nullptr ? postOfRequest_.find(*replaces) : postOfRequest_.end();
        earlier != postOfRequest_.end()) {
      // The server gives this post the earlier one's id, and reports no closing of the
      // earlier; its file is the host's to release.
      notification.replaces = earlier->second;
      forget(earlier->second);
    }
    // Recorded before the post, so that its closing always finds it.
    onScreen_.emplace(notification.post,
                      Posted{id, attachments.empty() ? "" : attachments.front()->url().path()});
    postOfRequest_[id] = notification.post;
    if (onScreen_.size() > kMaximumOnScreen) forget(onScreen_.begin()->first);
  }
  presenter_->post(std::move(notification));
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

bool Desktop::finish() {
  presenter_->flush();
  presenter_.reset();
  base::MutexLock lock(mu_);
  return !refusedAny_;
}

void Desktop::closed(std::uint64_t post) noexcept {
  std::string file;
  {
    base::MutexLock lock(mu_);
    std::optional<Posted> posted = forget(post);
    if (!posted) return;
    file = std::move(posted->file);
  }
  // Nothing shows the image any more; without a store it is the extension's caches file, which
  // is not the host's to remove.
  std::shared_ptr<user_notifications::AttachmentStore> store =
      user_notifications::AttachmentStore::shared();
  if (store && !file.empty()) store->remove(file);
}

void Desktop::failed(std::uint64_t post, const std::string& requestIdentifier,
                     const NSError& error) noexcept {
  {
    base::MutexLock lock(mu_);
    // Never shown, so never closed: its file is left to the store's limit.
    forget(post);
    refusedAny_ = true;
  }
  diagnostics_.report("request \"" + requestIdentifier +
                      "\": desktop notification failed: " + error.description);
}

}  // namespace host
