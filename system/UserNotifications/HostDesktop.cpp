#include "UserNotifications/HostDesktop.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "Foundation/NSBundle.hpp"
#include "UserNotifications/AttachmentStore.hpp"
#include "UserNotifications/HostOutput.hpp"
#include "UserNotifications/UNNotificationContent.hpp"

namespace usernotifications {

namespace {

// As many notifications as the presenter remembers for their closings: beyond that, a server
// that never reports closings would grow the record without end. The store's own limit still
// removes the files of those forgotten.
constexpr std::size_t kMaximumOnScreen = 4096;

}  // namespace

foundation::Result<std::unique_ptr<HostDesktop>> HostDesktop::connect() {
  const NSBundle& bundle = NSBundle::mainBundle();
  std::string appName = bundle.stringForKeyPath("CFBundleDisplayName")
                            .value_or(bundle.stringForKeyPath("CFBundleName").value_or(""));
  std::unique_ptr<HostDesktop> desktop(new HostDesktop());
  HostDesktop* self = desktop.get();
  foundation::Result<std::unique_ptr<DesktopPresenter>> presenter = connectDesktopPresenter(
      std::move(appName),
      {[self](const std::string& id) { self->closed(id); },
       [self](const std::string& id, const NSError& error) { self->refused(id, error); }});
  if (!presenter.ok()) return presenter.error();
  desktop->presenter_ = std::move(*presenter);
  return desktop;
}

HostDesktop::~HostDesktop() { presenter_.reset(); }

void HostDesktop::show(const std::string& id, const UNNotificationContent& content) {
  DesktopNotification notification = desktopNotification(id, content);
  std::vector<Strong<UNNotificationAttachment>> attachments = content.attachments();
  {
    base::MutexLock lock(mu_);
    // Recorded before the post, so that its closing always finds it.
    onScreen_.emplace_back(id, attachments.empty() ? "" : attachments.front()->url().path());
    if (onScreen_.size() > kMaximumOnScreen) onScreen_.pop_front();
  }
  presenter_->post(std::move(notification));
}

bool HostDesktop::finish() {
  presenter_->flush();
  presenter_.reset();
  base::MutexLock lock(mu_);
  return !refusedAny_;
}

std::string HostDesktop::forget(const std::string& id) {
  auto it = std::find_if(onScreen_.begin(), onScreen_.end(),
                         [&id](const auto& entry) { return entry.first == id; });
  if (it == onScreen_.end()) return "";
  std::string path = std::move(it->second);
  onScreen_.erase(it);
  return path;
}

void HostDesktop::closed(const std::string& id) {
  std::string path;
  {
    base::MutexLock lock(mu_);
    path = forget(id);
  }
  // Nothing shows the image any more; without a store it is the extension's caches file, which
  // is not the host's to remove.
  if (std::shared_ptr<AttachmentStore> store = AttachmentStore::shared(); store && !path.empty()) {
    store->remove(path);
  }
}

void HostDesktop::refused(const std::string& id, const NSError& error) {
  {
    base::MutexLock lock(mu_);
    // Never shown, so never closed: its file is left to the store's limit, as without a desktop.
    (void)forget(id);
    refusedAny_ = true;
  }
  printError("request \"" + id + "\": desktop notification failed: " + error.description);
}

}  // namespace usernotifications
