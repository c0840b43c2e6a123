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

void Desktop::show(const std::string& id, const UNNotificationContent& content) {
  std::vector<objc::Strong<UNNotificationAttachment>> attachments = content.attachments();
  std::uint64_t post = 0;
  {
    base::MutexLock lock(mu_);
    post = ++posts_;
    // Recorded before the post, so that its closing always finds it.
    onScreen_.emplace(post,
                      Posted{id, attachments.empty() ? "" : attachments.front()->url().path()});
    if (onScreen_.size() > kMaximumOnScreen) onScreen_.erase(onScreen_.begin());
  }
  presenter_->post(desktopNotification(post, id, content));
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
  {
    base::MutexLock lock(mu_);
    auto it = onScreen_.find(post);
    if (it == onScreen_.end()) return;
    file = std::move(it->second.file);
    onScreen_.erase(it);
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
    onScreen_.erase(post);
    refusedAny_ = true;
  }
  diagnostics_.report("request \"" + requestIdentifier +
                      "\": desktop notification failed: " + error.description);
}

}  // namespace host
