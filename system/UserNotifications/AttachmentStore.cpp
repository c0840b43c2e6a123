#include "UserNotifications/AttachmentStore.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include "Foundation/FileManager.hpp"
#include "Foundation/TemporaryFile.hpp"
#include "Foundation/Text.hpp"
#include "base/Mutex.hpp"

namespace user_notifications {
namespace {

// "<32 hex digits>-<sourceName>", cut to the longest name a file may have.
std::string freshName(const std::string& sourceName) {
  std::string name = foundation::randomHex(16) + "-" + sourceName;
  name.resize(foundation::utf8PrefixLength(name, NAME_MAX));
  return name;
}

// Copies what is left of `source` into `out`, in the kernel where it can; 0 or the errno.
int copyBytes(int source, int out) {
  bool kernelCopies = true;
  for (;;) {
    ssize_t copied = 0;
    if (kernelCopies) {
      copied = copy_file_range(source, nullptr, out, nullptr, 1 << 20, 0);
      // Across file systems (before Linux 5.19), or where the file system cannot.
      if (copied < 0 &&
          (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
        kernelCopies = false;
        continue;
      }
    } else {
      char buffer[1 << 16];
      copied = ::read(source, buffer, sizeof buffer);
      if (copied > 0) {
        if (const int err = base::writeAll(out, {buffer, static_cast<std::size_t>(copied)})) {
          return err;
        }
      }
    }
    if (copied < 0 && errno == EINTR) continue;
    if (copied < 0) return errno;
    if (copied == 0) return 0;
  }
}

// The process's store: set once at start, read by every attachment made.
struct SharedStore {
  base::Mutex mu;  // guards store
  std::shared_ptr<AttachmentStore> store GUARDED_BY(mu);
};

SharedStore& sharedStore() {
  static SharedStore* const shared = new SharedStore();
  return *shared;
}

}  // namespace

StoredFile::StoredFile(std::shared_ptr<AttachmentStore> store, std::string name, std::string path,
                       base::FileDescriptor fd, std::uint64_t bytes)
    : store_(std::move(store)),
      name_(std::move(name)),
      path_(std::move(path)),
      fd_(std::move(fd)),
      bytes_(bytes) {}

StoredFile::StoredFile(StoredFile&& other) noexcept
    : store_(std::move(other.store_)),
      name_(std::move(other.name_)),
      path_(std::move(other.path_)),
      fd_(std::move(other.fd_)),
      bytes_(other.bytes_) {}

StoredFile::~StoredFile() {
  closeDescriptor();
  if (store_) store_->limit_->release(name_);
}

void StoredFile::closeDescriptor() { fd_ = base::FileDescriptor(); }

void StoredFile::discard() {
  closeDescriptor();
  if (store_) std::exchange(store_, nullptr)->limit_->remove(name_);
}

foundation::Result<std::shared_ptr<AttachmentStore>> AttachmentStore::open(
    const std::string& directory, std::uint64_t limitBytes, Settled settled) {
  if (foundation::Status made =
          FileManager::defaultManager().createDirectory(directory, true, 0700);
      !made.ok()) {
    return made.error();
  }
  // Store files are held while in use, so no minimum age is needed to spare them.
  DirectoryLimit::Options options;
  options.limitBytes = limitBytes;
  foundation::Result<std::unique_ptr<DirectoryLimit>> limit =
      DirectoryLimit::open(directory, options);
  if (!limit.ok()) return limit.error();
  return std::shared_ptr<AttachmentStore>(
      new AttachmentStore(std::move(*limit), std::move(settled)));
}

std::shared_ptr<AttachmentStore> AttachmentStore::shared() {
  SharedStore& shared = sharedStore();
  base::MutexLock lock(shared.mu);
  return shared.store;
}

void AttachmentStore::setShared(std::shared_ptr<AttachmentStore> store) {
  SharedStore& shared = sharedStore();
  base::MutexLock lock(shared.mu);
  shared.store = std::move(store);
}

foundation::Result<StoredFile> AttachmentStore::take(const base::FileDescriptor& source,
                                                     const std::string& sourceName) {
  const int directory = limit_->directoryDescriptor();
  const auto where = [this](const std::string& name) { return this->directory() + "/" + name; };
  // Written under a temporary name and renamed, so the store's name never shows part of a file;
  // a copy cut short by a kill is a leftover the next start removes.
  std::string name = freshName(sourceName);
  const std::string temporary = foundation::temporaryFileName(name);
  base::FileDescriptor out(
      ::openat(directory, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!out.valid()) return foundation::posixError("open(" + where(temporary) + ")", errno);
  const auto fail = [&](NSError error) {
    ::unlinkat(directory, temporary.c_str(), 0);
    return error;
  };
  // From the start of the file that was opened, whatever its offset.
  if (::lseek(source.get(), 0, SEEK_SET) != 0) {
    return fail(foundation::posixError("lseek(" + where(temporary) + ")", errno));
  }
  if (ioctl(out.get(), FICLONE, source.get()) != 0) {
    if (const int err = copyBytes(source.get(), out.get()); err != 0) {
      return fail(foundation::posixError("copy(" + where(temporary) + ")", err));
    }
  }
  // A name the store never had: should the random one come twice, another is drawn.
  for (int attempt = 0;; ++attempt) {
    if (::renameat2(directory, temporary.c_str(), directory, name.c_str(), RENAME_NOREPLACE) == 0) {
      break;
    }
    if (errno != EEXIST || attempt == 3) {
      return fail(foundation::posixError("rename(" + where(temporary) + ")", errno));
    }
    name = freshName(sourceName);
  }
  struct stat status {};
  if (fstat(out.get(), &status) != 0) {
    NSError error = foundation::posixError("fstat(" + where(name) + ")", errno);
    ::unlinkat(directory, name.c_str(), 0);
    return error;
  }
  limit_->noteFile(name, status, /*hold=*/true);
  return StoredFile(shared_from_this(), name, where(name), std::move(out),
                    static_cast<std::uint64_t>(status.st_size));
}

void AttachmentStore::settled(const std::string& path) const {
  if (settled_) settled_(path);
}

std::optional<std::string> AttachmentStore::nameInStore(const std::string& path) const {
  const std::string& directory = this->directory();
  if (path.size() <= directory.size() + 1 || path.compare(0, directory.size(), directory) != 0 ||
      path[directory.size()] != '/' || path.find('/', directory.size() + 1) != std::string::npos) {
    return std::nullopt;
  }
  return path.substr(directory.size() + 1);
}

void AttachmentStore::remove(const std::string& path) {
  if (const std::optional<std::string> name = nameInStore(path)) limit_->remove(*name);
}

std::optional<std::string> AttachmentStore::derivedPath(const std::string& path,
                                                        std::string_view suffix) const {
  std::optional<std::string> name = nameInStore(path);
  if (!name || suffix.empty() || suffix.size() >= NAME_MAX - 32) return std::nullopt;
  name->resize(foundation::utf8PrefixLength(*name, NAME_MAX - suffix.size()));
  return directory() + "/" + *name + std::string(suffix);
}

void AttachmentStore::noteWritten(const std::string& path) {
  if (const std::optional<std::string> name = nameInStore(path)) limit_->noteFile(*name);
}

}  // namespace user_notifications
