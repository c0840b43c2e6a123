// AttachmentStore: the platform's own copies of the attachments it accepted, in a directory
// the extension does not write. Each file taken in gets a name the store never had before,
// so a file never changes once handed out, whatever later happens where it came from. The
// store is kept under its limit by a DirectoryLimit: least recently written first, never a
// file that is held. A file is held while its StoredFile lives, which an attachment keeps
// for its own life, so no file of a notification still on its way out is removed.
//
// The process has one store, set up by the host at start (setShared); the attachment
// factory takes files into it. Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Foundation/NSError.hpp"
#include "UserNotifications/DirectoryLimit.hpp"
#include "base/FileDescriptor.hpp"

namespace user_notifications {

class AttachmentStore;

// One file of the store, held: the store does not remove it while this lives. Movable; one
// owner.
class StoredFile {
 public:
  StoredFile(StoredFile&& other) noexcept;
  StoredFile& operator=(StoredFile&&) = delete;
  ~StoredFile();

  const std::string& path() const { return path_; }
  // Open for reading on the store's bytes until closeDescriptor(); -1 after it.
  int descriptor() const { return fd_.get(); }
  // The file's size when it was taken in.
  std::uint64_t bytes() const { return bytes_; }
  void closeDescriptor();
  // Removes the file from the store: one that was refused after it was taken in.
  void discard();

 private:
  friend class AttachmentStore;
  StoredFile(std::shared_ptr<AttachmentStore> store, std::string name, std::string path,
             base::FileDescriptor fd, std::uint64_t bytes);

  std::shared_ptr<AttachmentStore> store_;  // null once discarded or moved from
  std::string name_;
  std::string path_;
  base::FileDescriptor fd_;
  std::uint64_t bytes_ = 0;
};

class AttachmentStore : public std::enable_shared_from_this<AttachmentStore> {
 public:
  // The store in `directory`, created (mode 0700, with its parents) when missing, bounded to
  // `limitBytes`; what a killed process left half-made is removed and the rest indexed.
  static foundation::Result<std::shared_ptr<AttachmentStore>> open(const std::string& directory,
                                                                   std::uint64_t limitBytes);

  // The process's store, or null when none was set: attachments then stay where they are.
  static std::shared_ptr<AttachmentStore> shared();
  // Called by the host at start, and again for a store whose directory was removed:
  // attachments taken before keep the store they were taken into.
  static void setShared(std::shared_ptr<AttachmentStore> store);

  const std::string& directory() const { return limit_->directory(); }
  int directoryDescriptor() const { return limit_->directoryDescriptor(); }

  // Takes the store's own copy of the open regular file `source`, named
  // "<32 hex digits>-<sourceName>": a hard link to the very inode that was opened, or a copy
  // of its bytes where linking fails (the store on another file system, no /proc). The
  // file is held until the returned StoredFile goes, which reads it through `source` when
  // it was linked (the same inode), through the copy otherwise. Errors are
  // NSPOSIXErrorDomain.
  foundation::Result<StoredFile> take(base::FileDescriptor source, const std::string& sourceName);

  // Removes the store's file at `path`, held or not: the notification showing it closed.
  // A path outside the store is left alone.
  void remove(const std::string& path);

 private:
  friend class StoredFile;
  explicit AttachmentStore(std::unique_ptr<DirectoryLimit> limit) : limit_(std::move(limit)) {}

  std::optional<NSError> copy(int source, const std::string& name);

  const std::unique_ptr<DirectoryLimit> limit_;
};

}  // namespace user_notifications
