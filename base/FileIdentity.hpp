// FileIdentity: which file a descriptor or a path names, as the kernel tells files apart (the
// device and the inode), for the questions "are these the same file?" and "is this still the
// directory I opened?". A plain value; thread-safe.
#pragma once

#include <sys/stat.h>

#include <optional>

namespace base {

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;

  // Absent when the descriptor or path cannot be looked at (closed, removed, ...).
  static std::optional<FileIdentity> of(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return std::nullopt;
    return FileIdentity{status.st_dev, status.st_ino};
  }
  static std::optional<FileIdentity> of(const char* path) {
    struct stat status {};
    if (::stat(path, &status) != 0) return std::nullopt;
    return FileIdentity{status.st_dev, status.st_ino};
  }
};

}  // namespace base
