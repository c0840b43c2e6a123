#include "UserNotifications/AttachmentStore.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include "Foundation/FileManager.hpp"
#include "base/Mutex.hpp"

namespace user_notifications {
namespace {

// Hex digits of `bytes` random bytes. The kernel's randomness makes names no one can guess
// or repeat; the fallback only has to differ from earlier names, and link's EEXIST catches
// the rest.
std::string randomHex(std::size_t bytes) {
  unsigned char random[16] = {};
  if (getrandom(random, bytes, GRND_NONBLOCK) != static_cast<ssize_t>(bytes)) {
    static std::atomic<std::uint64_t> counter{0};
    const std::uint64_t values[2] = {
        static_cast<std::uint64_t>(getpid()),
        counter.fetch_add(1) ^ static_cast<std::uint64_t>(time(nullptr))};
    std::memcpy(random, values, sizeof random);
  }
  std::string hex;
  for (std::size_t i = 0; i < bytes; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", random[i]);
    hex.append(two, 2);
  }
  return hex;
}

// The temporary name of `name` while it is written, as Data's atomic write names its own,
// so that the limit knows both kinds as leftovers.
std::string temporaryName(const std::string& name) {
  return "." + name + "." + randomHex(6) + ".tmp";
}

// "<32 hex digits>-<sourceName>", keeping only the source's extension when the whole name
// would not leave room for a temporary name beside it.
std::string freshName(const std::string& sourceName) {
  std::string name = randomHex(16);
  constexpr std::size_t kRoom = NAME_MAX - 18;  // ".<name>.<12 hex>.tmp" must fit too
  if (name.size() + 1 + sourceName.size() <= kRoom) return name + "-" + sourceName;
  const std::size_t dot = sourceName.rfind('.');
  if (dot != std::string::npos && name.size() + sourceName.size() - dot <= kRoom) {
    name += sourceName.substr(dot);
  }
  return name;
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
    const std::string& directory, std::uint64_t limitBytes) {
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
  return std::shared_ptr<AttachmentStore>(new AttachmentStore(std::move(*limit)));
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

std::optional<NSError> AttachmentStore::copy(int source, const std::string& name) {
  const int directory = limit_->directoryDescriptor();
  // Written under a temporary name and renamed, so the store's name never shows part of a
  // file; a copy cut short by a kill is a leftover the next start removes.
  const std::string temporary = temporaryName(name);
  const int out =
      ::openat(directory, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (out < 0) {
    return foundation::posixError("open(" + this->directory() + "/" + temporary + ")", errno);
  }
  std::optional<NSError> error;
  off_t offset = 0;
  for (;;) {
    const ssize_t sent = sendfile(out, source, &offset, 1 << 20);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) error = foundation::posixError("sendfile(" + temporary + ")", errno);
    if (sent <= 0) break;
  }
  if (::close(out) != 0 && !error)
    error = foundation::posixError("close(" + temporary + ")", errno);
  if (!error && ::renameat(directory, temporary.c_str(), directory, name.c_str()) != 0) {
    error = foundation::posixError("rename(" + temporary + ")", errno);
  }
  if (error) ::unlinkat(directory, temporary.c_str(), 0);
  return error;
}

foundation::Result<StoredFile> AttachmentStore::take(base::FileDescriptor source,
                                                     const std::string& sourceName) {
  const int directory = limit_->directoryDescriptor();
  // A link to the inode the caller opened, through /proc because that inode may have lost
  // its name since: a later rename onto the source's name cannot reach the link.
  const std::string opened = "/proc/self/fd/" + std::to_string(source.get());
  std::string name;
  int linkError = EEXIST;
  for (int attempt = 0; attempt < 4 && linkError == EEXIST; ++attempt) {
    name = freshName(sourceName);
    const bool linked =
        ::linkat(AT_FDCWD, opened.c_str(), directory, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    linkError = linked ? 0 : errno;
  }
  if (linkError == EEXIST) return foundation::posixError("link(" + name + ")", linkError);
  // Linked, the source is the store's file; copied, the copy is.
  base::FileDescriptor stored = std::move(source);
  if (linkError != 0) {
    if (std::optional<NSError> error = copy(stored.get(), name)) return *error;
    stored =
        base::FileDescriptor(::openat(directory, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  }
  struct stat status {};
  if (!stored.valid() || fstat(stored.get(), &status) != 0) {
    NSError error = foundation::posixError("open(" + this->directory() + "/" + name + ")", errno);
    ::unlinkat(directory, name.c_str(), 0);
    return error;
  }
  limit_->noteFile(name, status, /*hold=*/true);
  return StoredFile(shared_from_this(), name, this->directory() + "/" + name, std::move(stored),
                    static_cast<std::uint64_t>(status.st_size));
}

void AttachmentStore::remove(const std::string& path) {
  const std::string& directory = this->directory();
  if (path.size() <= directory.size() + 1 || path.compare(0, directory.size(), directory) != 0 ||
      path[directory.size()] != '/' || path.find('/', directory.size() + 1) != std::string::npos) {
    return;
  }
  limit_->remove(path.substr(directory.size() + 1));
}

}  // namespace user_notifications
