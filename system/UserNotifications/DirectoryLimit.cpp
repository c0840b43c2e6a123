#include "UserNotifications/DirectoryLimit.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

#include "Foundation/TemporaryFile.hpp"

namespace user_notifications {
namespace {

// A temporary file older than this was left by a process that is gone: no write of ours
// takes a minute between creating its file and renaming it.
constexpr std::int64_t kLeftoverAgeNs = 60'000'000'000;
// Without inotify, the directory is read again at most this often.
constexpr std::chrono::seconds kRescanInterval{1};

constexpr std::uint32_t kWatchMask =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ONLYDIR;

std::int64_t nanoseconds(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::int64_t nowNs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return nanoseconds(now);
}

}  // namespace

DirectoryLimit::DirectoryLimit(std::string directory, base::FileDescriptor directoryFd,
                               Options options)
    : directory_(std::move(directory)), directoryFd_(std::move(directoryFd)), options_(options) {}

DirectoryLimit::~DirectoryLimit() = default;

foundation::Result<std::unique_ptr<DirectoryLimit>> DirectoryLimit::open(
    const std::string& directory, Options options) {
  base::FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return foundation::posixError("open(" + directory + ")", errno);
  std::unique_ptr<DirectoryLimit> limit(new DirectoryLimit(directory, std::move(fd), options));
  {
    base::MutexLock lock(limit->mu_);
    // Watching starts before the scan, so that no file written in between goes unseen.
    if (options.watch) limit->watch();
    limit->scan();
    limit->purge();
  }
  return limit;
}

void DirectoryLimit::watch() {
  inotify_ = base::FileDescriptor(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (inotify_.valid() && inotify_add_watch(inotify_.get(), directory_.c_str(), kWatchMask) < 0) {
    inotify_ = base::FileDescriptor();
  }
}

void DirectoryLimit::scan() {
  // Holds outlive a rescan; everything else is read again.
  std::vector<std::pair<std::string, int>> holds;
  for (const auto& [name, entry] : files_) {
    if (entry.holds > 0) holds.emplace_back(name, entry.holds);
  }
  files_.clear();
  byAge_.clear();
  total_ = 0;
  lastScan_ = std::chrono::steady_clock::now();

  const int fd = ::openat(directoryFd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    if (fd >= 0) ::close(fd);
    return;
  }
  const std::int64_t leftoverBefore = nowNs() - kLeftoverAgeNs;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (!foundation::isTemporaryFileName(name)) {
      index(name);
      continue;
    }
    struct stat status {};
    if (fstatat(directoryFd_.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode) && nanoseconds(status.st_mtim) < leftoverBefore) {
      ::unlinkat(directoryFd_.get(), name.c_str(), 0);
    }
  }
  closedir(dir);
  for (const auto& [name, count] : holds) {
    if (auto it = files_.find(name); it != files_.end()) it->second.holds = count;
  }
}

void DirectoryLimit::index(const std::string& name, const struct stat* known) {
  struct stat status {};
  if (known != nullptr) status = *known;
  if (foundation::isTemporaryFileName(name) ||
      (known == nullptr &&
       fstatat(directoryFd_.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) ||
      !S_ISREG(status.st_mode)) {
    forget(name);
    return;
  }
  auto [it, added] = files_.try_emplace(name);
  Entry& entry = it->second;
  if (!added) {
    byAge_.erase(Key{entry.written, &it->first});
    total_ -= entry.bytes;
  }
  entry.bytes = static_cast<std::uint64_t>(status.st_size);
  entry.written = nanoseconds(status.st_mtim);
  byAge_.insert(Key{entry.written, &it->first});
  total_ += entry.bytes;
}

void DirectoryLimit::forget(const std::string& name) {
  auto it = files_.find(name);
  if (it == files_.end()) return;
  byAge_.erase(Key{it->second.written, &it->first});
  total_ -= it->second.bytes;
  files_.erase(it);
}

void DirectoryLimit::readEvents() {
  alignas(inotify_event) char buffer[16 * 1024];
  bool overflowed = false;
  for (;;) {
    const ssize_t got = ::read(inotify_.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // EAGAIN: nothing more has happened
    for (std::size_t at = 0; at + sizeof(inotify_event) <= static_cast<std::size_t>(got);) {
      inotify_event event{};
      std::memcpy(&event, buffer + at, sizeof event);
      const char* name = buffer + at + sizeof event;
      at += sizeof event + event.len;
      if ((event.mask & IN_Q_OVERFLOW) != 0) {
        overflowed = true;
      } else if ((event.mask & IN_IGNORED) != 0) {
        // The directory itself went away; rescans take over, finding nothing until it is back.
        inotify_ = base::FileDescriptor();
        return;
      } else if (event.len > 0) {
        const std::string file(name, strnlen(name, event.len));
        if ((event.mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
          forget(file);
        } else {
          index(file);
        }
      }
    }
    // A read stops early only when the queue runs dry: with room left for the longest
    // event, there was nothing more, and another read would only say so.
    if (static_cast<std::size_t>(got) + sizeof(inotify_event) + NAME_MAX + 1 <= sizeof buffer) {
      break;
    }
  }
  if (overflowed) scan();
}

void DirectoryLimit::purge() {
  if (total_ <= options_.limitBytes) return;
  const std::int64_t youngest = nowNs() - options_.minimumAge.count();
  for (auto key = byAge_.begin(); key != byAge_.end() && total_ > options_.limitBytes;) {
    const auto it = files_.find(*key->name);
    const std::string& name = it->first;
    Entry& entry = it->second;
    const auto next = std::next(key);
    // Spared: a held file, and a young one its writer may still want, until it is settled.
    if (entry.holds > 0 || (!entry.settled && key->written > youngest)) {
      key = next;
      continue;
    }
    // The name may have been written again since it was indexed; then it is young, not old.
    struct stat status {};
    if (fstatat(directoryFd_.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode) &&
        (nanoseconds(status.st_mtim) != entry.written ||
         static_cast<std::uint64_t>(status.st_size) != entry.bytes)) {
      index(name);
      key = next;
      continue;
    }
    if (::unlinkat(directoryFd_.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
      key = next;  // not ours to remove (a read-only directory): counted, left alone
      continue;
    }
    total_ -= entry.bytes;
    byAge_.erase(key);
    files_.erase(it);
    key = next;
  }
}

void DirectoryLimit::update() {
  base::MutexLock lock(mu_);
  if (inotify_.valid()) {
    readEvents();
  } else if (options_.watch && std::chrono::steady_clock::now() - lastScan_ >= kRescanInterval) {
    scan();
  }
  purge();
}

void DirectoryLimit::noteFile(const std::string& name, bool hold) {
  base::MutexLock lock(mu_);
  note(name, nullptr, hold);
}

void DirectoryLimit::noteFile(const std::string& name, const struct stat& status, bool hold) {
  base::MutexLock lock(mu_);
  note(name, &status, hold);
}

void DirectoryLimit::note(const std::string& name, const struct stat* known, bool hold) {
  index(name, known);
  if (auto it = files_.find(name); hold && it != files_.end()) ++it->second.holds;
  purge();
}

void DirectoryLimit::release(const std::string& name) {
  base::MutexLock lock(mu_);
  if (auto it = files_.find(name); it != files_.end() && it->second.holds > 0) {
    --it->second.holds;
  }
  purge();
}

void DirectoryLimit::settle(const std::string& name) {
  base::MutexLock lock(mu_);
  // Its arrival may not have been read yet: the kernel queued it before the caller learnt of
  // the file.
  if (inotify_.valid()) readEvents();
  if (auto it = files_.find(name); it != files_.end()) it->second.settled = true;
  purge();
}

void DirectoryLimit::remove(const std::string& name) {
  base::MutexLock lock(mu_);
  ::unlinkat(directoryFd_.get(), name.c_str(), 0);
  forget(name);
}

std::uint64_t DirectoryLimit::totalBytes() const {
  base::MutexLock lock(mu_);
  return total_;
}

}  // namespace user_notifications
