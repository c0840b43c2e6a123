// HostStorage: the storage the platform keeps around the extension, set up by the host at
// start and kept for the whole run. It opens the attachment store (bounded by
// --attachments-limit) and makes it the process's store, so that every accepted attachment is
// taken into it; and it bounds the extension's caches directory (--cache-limit), sparing a
// file written less than one time limit ago: its request may still be on its way to
// attaching it. Each one that cannot be set up is reported in one line on standard error and
// the run goes on without it.
//
// Thread-safe: update() may be called from any thread.
#pragma once

#include <memory>

#include "UserNotifications/DirectoryLimit.hpp"
#include "UserNotifications/HostOptions.hpp"

namespace usernotifications {

class HostStorage {
 public:
  // REQUIRES: the caches directory was created (when it could not be, it goes unbounded);
  // no attachment was made yet.
  explicit HostStorage(const HostOptions& options);
  // The process goes on without a store; attachments made before keep theirs.
  ~HostStorage();
  HostStorage(const HostStorage&) = delete;
  HostStorage& operator=(const HostStorage&) = delete;

  // Takes in the files written to the caches directory since the last call and removes the
  // least recently written over its limit. Called after each output line.
  void update();

 private:
  std::unique_ptr<DirectoryLimit> cacheLimit_;  // null: the caches directory is not bounded
};

}  // namespace usernotifications
