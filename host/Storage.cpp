#include "host/Storage.hpp"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "Foundation/FileManager.hpp"
#include "UserNotifications/AttachmentStore.hpp"
#include "base/FileIdentity.hpp"

namespace host {

using user_notifications::AttachmentStore;
using user_notifications::DirectoryLimit;

namespace {

std::string parentOf(const std::string& path) {
  const std::string parent = path.substr(0, path.find_last_of('/'));
  return parent.empty() ? "/" : parent;
}

// Whether `path` names the directory open as `fd`: false once it was removed or moved away.
bool stillThere(const std::string& path, int fd) {
  const std::optional<base::FileIdentity> held = base::FileIdentity::of(fd);
  return held && held == base::FileIdentity::of(path.c_str());
}

}  // namespace

Storage::Storage(Settings settings, Diagnostics& diagnostics)
    : settings_(std::move(settings)), diagnostics_(diagnostics) {
  if (settings_.store) {
    foundation::Result<std::shared_ptr<AttachmentStore>> store =
        AttachmentStore::open(*settings_.store, settings_.attachmentsLimit,
                              [this](const std::string& path) { settled(path); });
    if (store.ok()) {
      AttachmentStore::setShared(*store);
    } else {
      diagnostics_.report("cannot set up the attachment store: " + store.error().description +
                          "; attachments stay where they are");
    }
  }
  if (!settings_.caches) return;
  cacheOptions_.limitBytes = settings_.cacheLimit;
  cacheOptions_.minimumAge = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(settings_.timeLimitSeconds));
  // The extension writes the directory; the kernel tells of each file it adds.
  cacheOptions_.watch = true;
  if (settings_.watchForRemoval) watchForRemoval();
  foundation::Result<std::unique_ptr<DirectoryLimit>> opened =
      DirectoryLimit::open(*settings_.caches, cacheOptions_);
  if (!opened.ok()) {
    // One that could not be made was reported as such.
    if (struct stat made{};
        ::stat(settings_.caches->c_str(), &made) == 0 && S_ISDIR(made.st_mode)) {
      diagnostics_.report("cannot bound the caches directory: " + opened.error().description);
    }
    return;
  }
  base::MutexLock lock(mu_);
  cacheLimit_ = std::move(*opened);
}

Storage::~Storage() { AttachmentStore::setShared(nullptr); }

void Storage::settled(const std::string& path) {
  if (!settings_.caches) return;
  const std::string& caches = *settings_.caches;
  if (path.size() <= caches.size() + 1 || !path.starts_with(caches) || path[caches.size()] != '/' ||
      path.find('/', caches.size() + 1) != std::string::npos) {
    return;
  }
  base::MutexLock lock(mu_);
  if (cacheLimit_) cacheLimit_->settle(path.substr(caches.size() + 1));
}

void Storage::update() {
  base::MutexLock lock(mu_);
  if (cacheLimit_) cacheLimit_->update();
}

void Storage::watchForRemoval() {
  if (!removal_.valid()) removal_ = base::FileDescriptor(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!removal_.valid()) return;
  // A directory's own deletion is not reported while a descriptor holds it open, as each
  // limit's does; its parent reports the name going, and its own going (rm -r of the whole
  // cache). The caches' parent is watched before its limit is opened, so that a removal in
  // between is seen.
  constexpr std::uint32_t kGoing =
      IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
  for (const std::optional<std::string>& directory : {settings_.caches, settings_.store}) {
    if (directory) (void)inotify_add_watch(removal_.get(), parentOf(*directory).c_str(), kGoing);
  }
}

void Storage::restoreRemoved() {
  if (!removal_.valid()) return;
  // Any name going from a parent, or a parent itself: a look at the paths decides.
  alignas(inotify_event) char events[4096];
  bool removal = false;
  while (::read(removal_.get(), events, sizeof events) > 0) removal = true;
  if (!removal) return;
  restoreCaches();
  restoreStore();
  // The parents may be new as well.
  watchForRemoval();
}

void Storage::restoreCaches() {
  if (!settings_.caches) return;
  const std::string& caches = *settings_.caches;
  struct stat now {};
  if (::stat(caches.c_str(), &now) == 0) {
    base::MutexLock lock(mu_);
    // Still the directory the limit bounds: another name went. One put in its place (moved
    // there by someone) is taken as it is, and bounded below.
    if (cacheLimit_ && stillThere(caches, cacheLimit_->directoryDescriptor())) return;
  } else if (foundation::Status made = FileManager::defaultManager().createDirectory(caches, true);
             !made.ok()) {
    diagnostics_.report("the caches directory was removed and cannot be made again: " +
                        made.error().description);
    return;
  }
  foundation::Result<std::unique_ptr<DirectoryLimit>> opened =
      DirectoryLimit::open(caches, cacheOptions_);
  if (!opened.ok()) {
    diagnostics_.report("cannot bound the caches directory: " + opened.error().description);
  }
  base::MutexLock lock(mu_);
  cacheLimit_ = opened.ok() ? std::move(*opened) : nullptr;
}

void Storage::restoreStore() {
  const std::shared_ptr<AttachmentStore> store = AttachmentStore::shared();
  if (!store || stillThere(store->directory(), store->directoryDescriptor())) return;
  // A new store where the old one was. Attachments taken into the old one keep it, and
  // what names them is gone with its directory.
  foundation::Result<std::shared_ptr<AttachmentStore>> reopened =
      AttachmentStore::open(store->directory(), settings_.attachmentsLimit,
                            [this](const std::string& path) { settled(path); });
  if (!reopened.ok()) {
    diagnostics_.report("the attachment store was removed and cannot be made again: " +
                        reopened.error().description);
    return;
  }
  AttachmentStore::setShared(*reopened);
}

}  // namespace host
