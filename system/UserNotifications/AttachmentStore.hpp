// AttachmentStore: the platform's own copies of the attachments it accepted, in a directory
// the extension does not write. Each file taken in is a file of its own (a clone or a copy,
// never a second name for the extension's file, which a writer in place would change) under a
// name the store never had before, so it never changes once handed out, whatever later
// happens where it came from. The
// store is kept under its limit by a DirectoryLimit: least recently written first, never a
// file that is held. A file is held while its StoredFile lives, which an attachment keeps
// for its own life, so no file of a notification still on its way out is removed.
//
// The process has one store, set up by the host at start (setShared); the attachment
// factory takes files into it, and tells it of every file it was asked to attach, taken or
// refused (settled), which the store passes on to the host: the extension's caches keep such
// a file no longer for its request's sake. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

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
  // Told of the path of each file the factory was asked to attach, once it is done with it.
  using Settled = std::function<void(const std::string& path)>;

  // The store in `directory`, created (mode 0700, with its parents) when missing, bounded to
  // `limitBytes`; what a killed process left half-made is removed and the rest indexed.
  static foundation::Result<std::shared_ptr<AttachmentStore>> open(const std::string& directory,
                                                                   std::uint64_t limitBytes,
                                                                   Settled settled = {});

  // The process's store, or null when none was set: attachments then stay where they are.
  static std::shared_ptr<AttachmentStore> shared();
  // Called by the host at start, and again for a store whose directory was removed:
  // attachments taken before keep the store they were taken into.
  static void setShared(std::shared_ptr<AttachmentStore> store);

  const std::string& directory() const { return limit_->directory(); }
  int directoryDescriptor() const { return limit_->directoryDescriptor(); }

  // Takes the store's own copy of the open regular file `source`: a clone (FICLONE) where the
  // file system makes one, otherwise a copy of its bytes, named "<32 hex digits>-<sourceName>",
  // the whole name cut to a file name's 255 bytes. The file is held until the returned
  // StoredFile goes, which reads the copy. Errors are NSPOSIXErrorDomain.
  foundation::Result<StoredFile> take(const base::FileDescriptor& source,
                                      const std::string& sourceName);

  // The factory is done with the file at `path`, attached or refused.
  void settled(const std::string& path) const;

  // Removes the store's file at `path`, held or not: the notification showing it closed.
  // A path outside the store is left alone.
  void remove(const std::string& path);

  // Where a file made from the store's file at `path` goes (a video's thumbnail): beside it,
  // named after it with `suffix` (the name cut so that the whole fits a file name; its 32 hex
  // digits keep it apart from every other). Absent for a path that is not a file of the store.
  std::optional<std::string> derivedPath(const std::string& path, std::string_view suffix) const;
  // The file at `path`, made in the store by another (a derived file), was written: it counts
  // towards the limit from now on. A path outside the store is left alone.
  void noteWritten(const std::string& path);

 private:
  friend class StoredFile;
  // The name of the store's file at `path`, or absent for a path outside the store.
  std::optional<std::string> nameInStore(const std::string& path) const;
  AttachmentStore(std::unique_ptr<DirectoryLimit> limit, Settled settled)
      : limit_(std::move(limit)), settled_(std::move(settled)) {}

  const std::unique_ptr<DirectoryLimit> limit_;
  const Settled settled_;
};

}  // namespace user_notifications
