#include "UserNotifications/HostStorage.hpp"

#include <chrono>
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
  DirectoryLimit::Options limit;
  limit.limitBytes = options.cacheLimit;
  limit.minimumAge = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(options.timeLimit));
  // The extension writes the directory; the kernel tells of each file it adds.
  limit.watch = true;
  if (foundation::Result<std::unique_ptr<DirectoryLimit>> opened =
          DirectoryLimit::open(caches.front(), limit);
      opened.ok()) {
    cacheLimit_ = std::move(*opened);
  } else {
    printError("cannot bound the caches directory: " + opened.error().description);
  }
}

HostStorage::~HostStorage() { AttachmentStore::setShared(nullptr); }

void HostStorage::update() {
  if (cacheLimit_) cacheLimit_->update();
}

}  // namespace usernotifications
