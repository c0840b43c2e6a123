#include "UserNotifications/HostStorage.hpp"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "Foundation/FileManager.hpp"
#include "UserNotifications/AttachmentStore.hpp"
#include "UserNotifications/HostOutput.hpp"

namespace usernotifications {

namespace {

std::string parentOf(const std::string& path) {
  const std::string parent = path.substr(0, path.find_last_of('/'));
  return parent.empty() ? "/" : parent;
}

// Whether `path` names the directory open as `fd`: false once it was removed or moved away.
bool stillThere(const std::string& path, int fd) {
  struct stat now {};
  struct stat held {};
  return ::stat(path.c_str(), &now) == 0 && fstat(fd, &held) == 0 && held.st_ino == now.st_ino &&
         held.st_dev == now.st_dev;
}

}  // namespace

HostStorage::HostStorage(const HostOptions& options) : attachmentsLimit_(options.attachmentsLimit) {
  const std::vector<std::string> caches =
      NSSearchPathForDirectoriesInDomains(NSCachesDirectory, NSUserDomainMask, true);
  // Without a caches directory either, the host has said so.
  if (const std::string directory = AttachmentStore::defaultDirectory(); directory.empty()) {
    if (!caches.empty()) {
      printError("no home directory for the attachment store; attachments stay where they are");
    }
  } else if (foundation::Result<std::shared_ptr<AttachmentStore>> store =
                 AttachmentStore::open(directory, options.attachmentsLimit);
             store.ok()) {
    AttachmentStore::setShared(*store);
  } else {
    printError("cannot set up the attachment store: " + store.error().description +
               "; attachments stay where they are");
  }

  if (caches.empty()) return;
  caches_ = caches.front();
  cacheOptions_.limitBytes = options.cacheLimit;
  cacheOptions_.minimumAge = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(options.timeLimit));
  // The extension writes the directory; the kernel tells of each file it adds.
  cacheOptions_.watch = true;
  // A stream on standard input may run for days; payload files are shown and done, and an
  // inotify instance more would be a tenth of a millisecond on each cold start.
  if (options.files.empty()) watchForRemoval();
  foundation::Result<std::unique_ptr<DirectoryLimit>> opened =
      DirectoryLimit::open(caches_, cacheOptions_);
  if (!opened.ok()) {
    // One that could not be made was reported as such.
    if (struct stat made{}; ::stat(caches_.c_str(), &made) == 0 && S_ISDIR(made.st_mode)) {
      printError("cannot bound the caches directory: " + opened.error().description);
    }
    return;
  }
  base::MutexLock lock(mu_);
  cacheLimit_ = std::move(*opened);
}

HostStorage::~HostStorage() {
  AttachmentStore::setShared(nullptr);
  if (removal_ >= 0) ::close(removal_);
}

void HostStorage::update() {
  base::MutexLock lock(mu_);
  if (cacheLimit_) cacheLimit_->update();
}

void HostStorage::watchForRemoval() {
  if (removal_ < 0) removal_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (removal_ < 0) return;
  // A directory's own deletion is not reported while a descriptor holds it open, as each
  // limit's does; its parent reports the name going, and its own going (rm -r of the whole
  // cache). The caches' parent is watched before its limit is opened, so that a removal in
  // between is seen.
  constexpr std::uint32_t kGoing =
      IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
  if (!caches_.empty()) (void)inotify_add_watch(removal_, parentOf(caches_).c_str(), kGoing);
  if (const std::shared_ptr<AttachmentStore> store = AttachmentStore::shared()) {
    (void)inotify_add_watch(removal_, parentOf(store->directory()).c_str(), kGoing);
  }
}

void HostStorage::restoreRemoved() {
  if (removal_ < 0) return;
  // Any name going from a parent, or a parent itself: a look at the paths decides.
  alignas(inotify_event) char events[4096];
  bool removal = false;
  while (::read(removal_, events, sizeof events) > 0) removal = true;
  if (!removal) return;
  restoreCaches();
  restoreStore();
  // The parents may be new as well.
  watchForRemoval();
}

void HostStorage::restoreCaches() {
  if (caches_.empty()) return;
  struct stat now {};
  if (::stat(caches_.c_str(), &now) == 0) {
    base::MutexLock lock(mu_);
    // Still the directory the limit bounds: another name went. One put in its place (moved
    // there by someone) is taken as it is, and bounded below.
    if (cacheLimit_ && stillThere(caches_, cacheLimit_->directoryDescriptor())) return;
  } else if (foundation::Status made = FileManager::defaultManager().createDirectory(caches_, true);
             !made.ok()) {
    printError("the caches directory was removed and cannot be made again: " +
               made.error().description);
    return;
  }
  foundation::Result<std::unique_ptr<DirectoryLimit>> opened =
      DirectoryLimit::open(caches_, cacheOptions_);
  if (!opened.ok()) {
    printError("cannot bound the caches directory: " + opened.error().description);
  }
  base::MutexLock lock(mu_);
  cacheLimit_ = opened.ok() ? std::move(*opened) : nullptr;
}

void HostStorage::restoreStore() {
  const std::shared_ptr<AttachmentStore> store = AttachmentStore::shared();
  if (!store || stillThere(store->directory(), store->directoryDescriptor())) return;
  // A new store where the old one was. Attachments taken into the old one keep it, and
  // what names them is gone with its directory.
  foundation::Result<std::shared_ptr<AttachmentStore>> reopened =
      AttachmentStore::open(store->directory(), attachmentsLimit_);
  if (!reopened.ok()) {
    printError("the attachment store was removed and cannot be made again: " +
               reopened.error().description);
    return;
  }
  AttachmentStore::setShared(*reopened);
}

}  // namespace usernotifications
