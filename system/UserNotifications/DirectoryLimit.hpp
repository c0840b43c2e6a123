// DirectoryLimit: keeps the regular files of one directory under a size limit, as the
// platform purges its caches and its attachment store: when the files' total is over the
// limit, the least recently written go first, but never a held file, nor one written less than
// a minimum age ago until its writer says it is done with it (settle): a caches file is spared
// only while its request may still attach it.
//
// It indexes the directory (sizes and modification times) when opened, and then learns of
// files as it is told of them (noteFile) or, when it watches, from the kernel: inotify
// reports each file closed after writing or moved in, one event per file, where a rescan
// per arrival would cost a pass over the whole directory each time (100,000 files at
// 100,000 requests). A full rescan happens only when the kernel's event queue overflowed,
// or, where inotify cannot be had (the per-user instance limit), at most once a second.
//
// The temporary files of atomic writes (Foundation/TemporaryFile.hpp: Data's and the
// attachment store's) are not counted; opening the directory removes those a killed process
// left behind (older than a minute, so that another process's write in progress is spared).
//
// Thread-safe: one mutex guards the index, and files are removed under it.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include "Foundation/NSError.hpp"
#include "base/FileDescriptor.hpp"
#include "base/Mutex.hpp"

namespace user_notifications {

class DirectoryLimit {
 public:
  struct Options {
    std::uint64_t limitBytes = 0;
    // Files written less than this long ago are kept whatever the total, until settled.
    std::chrono::nanoseconds minimumAge{0};
    // Learn of new files from the kernel: for a directory that others write.
    bool watch = false;
  };

  // Indexes `directory`, removes leftover temporary files and purges down to the limit.
  // REQUIRES: the directory exists.
  static foundation::Result<std::unique_ptr<DirectoryLimit>> open(const std::string& directory,
                                                                  Options options);
  ~DirectoryLimit();
  DirectoryLimit(const DirectoryLimit&) = delete;
  DirectoryLimit& operator=(const DirectoryLimit&) = delete;

  const std::string& directory() const { return directory_; }
  // The directory as opened, for *at() calls; open as long as this object lives.
  int directoryDescriptor() const { return directoryFd_.get(); }

  // Takes in the files the kernel reported since the last call, then purges. Cheap when
  // nothing arrived: one read that finds nothing.
  void update() EXCLUDES(mu_);
  // The file `name` was written: indexes it as it is now (forgets it when it is gone),
  // holding it when `hold`, then purges.
  void noteFile(const std::string& name, bool hold = false) EXCLUDES(mu_);
  // The same for a file the caller has open, indexed as `status` (its fstat) tells.
  void noteFile(const std::string& name, const struct stat& status, bool hold) EXCLUDES(mu_);
  // Lets one hold of `name` go, then purges.
  void release(const std::string& name) EXCLUDES(mu_);
  // The writer of `name` is done with it: it is spared no longer for its age, then purges.
  void settle(const std::string& name) EXCLUDES(mu_);
  // Removes the file `name` now, held or not.
  void remove(const std::string& name) EXCLUDES(mu_);

  // The bytes of the files indexed.
  std::uint64_t totalBytes() const EXCLUDES(mu_);

 private:
  struct Entry {
    std::uint64_t bytes = 0;
    std::int64_t written = 0;  // modification time, nanoseconds since the epoch
    int holds = 0;
    bool settled = false;
  };
  // Oldest first; the name points at the key of the entry in files_.
  struct Key {
    std::int64_t written;
    const std::string* name;
  };
  struct Older {
    bool operator()(const Key& a, const Key& b) const {
      return a.written != b.written ? a.written < b.written : *a.name < *b.name;
    }
  };

  DirectoryLimit(std::string directory, base::FileDescriptor directoryFd, Options options);

  void watch() REQUIRES(mu_);
  void readEvents() REQUIRES(mu_);
  void scan() REQUIRES(mu_);
  // Indexes `name` as it is now, or as `known` (its status, just taken) tells.
  void index(const std::string& name, const struct stat* known = nullptr) REQUIRES(mu_);
  void forget(const std::string& name) REQUIRES(mu_);
  void note(const std::string& name, const struct stat* known, bool hold) REQUIRES(mu_);
  void purge() REQUIRES(mu_);

  const std::string directory_;
  const base::FileDescriptor directoryFd_;
  const Options options_;

  mutable base::Mutex mu_;  // guards the index and the watch below
  std::unordered_map<std::string, Entry> files_ GUARDED_BY(mu_);
  std::set<Key, Older> byAge_ GUARDED_BY(mu_);
  std::uint64_t total_ GUARDED_BY(mu_) = 0;
  base::FileDescriptor inotify_ GUARDED_BY(mu_);
  std::chrono::steady_clock::time_point lastScan_ GUARDED_BY(mu_);
};

}  // namespace user_notifications
