// Storage: the storage the platform keeps around the extension, set up by the host at start
// and kept for the whole run. It opens the attachment store (bounded by --attachments-limit)
// and makes it the process's store, so that every accepted attachment is taken into it; and it
// bounds the extension's caches directory (--cache-limit), sparing a file only while its
// request may still attach it: from its arrival until the attachment factory is done with it
// (the store has its own copy, or the file was refused), or for one time limit when the
// factory is never asked. Each one that cannot be set up is reported, and the run goes on
// without it.
//
// The caches directory is the user's to clean, and cleaners remove it whole; the store may go
// too, with a cleaning of ~/.local/state. When reading a stream, the host makes each one again,
// as it did at start, before the next requests start, so that a run of days does not lose
// every image after a cleaning. The kernel says when one went, on a watch of its parent that a
// read finds empty otherwise; making it again only when requests need it leaves a cleaning of
// the whole cache (rm -r) free to finish.
//
// Thread-safe: update() may be called from any thread; restoreRemoved() from one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "UserNotifications/AttachmentStore.hpp"
#include "UserNotifications/DirectoryLimit.hpp"
#include "base/FileDescriptor.hpp"
#include "base/Mutex.hpp"
#include "host/Diagnostics.hpp"

namespace host {

class Storage {
 public:
  struct Settings {
    std::optional<std::string> caches;  // the caches directory; absent: none
    std::optional<std::string> store;   // the attachment store's directory; absent: none
    std::uint64_t cacheLimit = 0;
    std::uint64_t attachmentsLimit = 0;
    double timeLimitSeconds = 0;  // how long a caches file is spared
    // Watch for the directories' removal, to make them again: for a stream that may run for
    // days. Payload files are shown and done, and the watch would cost each cold start.
    bool watchForRemoval = false;
  };

  // REQUIRES: the caches directory was created (when it could not be, it goes unbounded); no
  // attachment was made yet; `diagnostics` outlives the object.
  Storage(Settings settings, Diagnostics& diagnostics);
  // The process goes on without a store; attachments made before keep theirs.
  ~Storage();
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  // Takes in the files written to the caches directory since the last call and removes the
  // least recently written over its limit. Called after each output line.
  void update() EXCLUDES(mu_);

  // Before requests start: when the caches directory or the store went since the last call,
  // makes it again where it was and bounds the new one. One read when neither did.
  void restoreRemoved() EXCLUDES(mu_);

 private:
  // The attachment factory is done with the file at `path`.
  void settled(const std::string& path) EXCLUDES(mu_);
  void watchForRemoval();
  void restoreCaches() EXCLUDES(mu_);
  void restoreStore();

  const Settings settings_;
  Diagnostics& diagnostics_;
  user_notifications::DirectoryLimit::Options cacheOptions_;
  // An inotify instance that watches the parents of the caches directory and of the store.
  base::FileDescriptor removal_;
  base::Mutex mu_;
  // Null: the caches directory is not bounded.
  std::unique_ptr<user_notifications::DirectoryLimit> cacheLimit_ GUARDED_BY(mu_);
};

}  // namespace host
