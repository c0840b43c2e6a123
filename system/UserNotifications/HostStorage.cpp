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

HostStorage::HostStorage(const HostOptions& options) {
  if (const std::string directory = AttachmentStore::defaultDirectory(); directory.empty()) {
    printError("no home directory for the attachment store; attachments stay where they are");
  } else if (foundation::Result<std::shared_ptr<AttachmentStore>> store =
                 AttachmentStore::open(directory, options.attachmentsLimit);
             store.ok()) {
    AttachmentStore::setShared(*store);
  } else {
    printError("cannot set up the attachment store: " + store.error().description +
               "; attachments stay where they are");
  }

  const std::vector<std::string> caches =
      NSSearchPathForDirectoriesInDomains(NSCachesDirectory, NSUserDomainMask, true);
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
    printError("cannot bound the caches directory: " + opened.error().description);
    return;
  }
  objc::MutexLock lock(mu_);
  cacheLimit_ = std::move(*opened);
}

HostStorage::~HostStorage() {
  AttachmentStore::setShared(nullptr);
  if (removal_ >= 0) ::close(removal_);
}

void HostStorage::update() {
  objc::MutexLock lock(mu_);
  if (cacheLimit_) cacheLimit_->update();
}

void HostStorage::watchForRemoval() {
  if (removal_ < 0) removal_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (removal_ < 0) return;
  // The directory's own deletion is not reported while a descriptor holds it open, as the
  // limit's does; its parent reports the name going, and its own going (rm -r of the whole
  // cache). Watched before the limit is opened, so that a removal in between is seen.
  const std::string parent = caches_.substr(0, caches_.find_last_of('/'));
  (void)inotify_add_watch(removal_, parent.empty() ? "/" : parent.c_str(),
                          IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
}

void HostStorage::restoreCaches() {
  if (removal_ < 0) return;
  // Any name going from the parent, or the parent itself: a look at the path decides.
  alignas(inotify_event) char events[4096];
  bool removal = false;
  while (::read(removal_, events, sizeof events) > 0) removal = true;
  if (!removal) return;
  struct stat now {};
  if (::stat(caches_.c_str(), &now) == 0) {
    objc::MutexLock lock(mu_);
    struct stat bounded {};
    // Still the directory the limit bounds: another name went. One put in its place (moved
    // there by someone) is taken as it is, and bounded below.
    if (cacheLimit_ && fstat(cacheLimit_->directoryDescriptor(), &bounded) == 0 &&
        bounded.st_ino == now.st_ino && bounded.st_dev == now.st_dev) {
      return;
    }
  } else if (std::optional<NSError> error =
                 FileManager::defaultManager().createDirectory(caches_, true)) {
    printError("the caches directory was removed and cannot be made again: " + error->description);
    return;
  }
  watchForRemoval();
  foundation::Result<std::unique_ptr<DirectoryLimit>> opened =
      DirectoryLimit::open(caches_, cacheOptions_);
  if (!opened.ok()) {
    printError("cannot bound the caches directory: " + opened.error().description);
  }
  objc::MutexLock lock(mu_);
  cacheLimit_ = opened.ok() ? std::move(*opened) : nullptr;
}

}  // namespace usernotifications
