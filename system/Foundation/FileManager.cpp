#include "Foundation/FileManager.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

#include "Foundation/NSBundle.hpp"

namespace {

// mkdir -p: the directory first, so that the usual case (its parent is there) costs one call;
// the parents only when the kernel says one is missing.
foundation::Status makeDirectories(const std::string& path, mode_t permissions) {
  if (::mkdir(path.c_str(), permissions) == 0) return {};
  int err = errno;
  if (err == ENOENT) {
    const std::size_t end = path.find_last_not_of('/');
    const std::size_t slash = end == std::string::npos ? end : path.rfind('/', end);
    if (slash != std::string::npos && slash > 0) {
      if (foundation::Status made = makeDirectories(path.substr(0, slash), permissions);
          !made.ok()) {
        return made;
      }
      if (::mkdir(path.c_str(), permissions) == 0) return {};
      err = errno;
    }
  }
  struct stat st {};
  if (err == EEXIST && ::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return {};
    err = ENOTDIR;
  }
  // A name that is there but leads nowhere: a symbolic link whose target is missing. EEXIST
  // alone would say the opposite of what is wrong.
  if (err == EEXIST && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    target.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return NSError{NSPOSIXErrorDomain, ENOENT,
                   "mkdir(" + path + "): a symbolic link to " + target +
                       ", which does not exist, is in the way"};
  }
  return foundation::posixError("mkdir(" + path + ")", err);
}

bool isDirectory(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

std::string NSHomeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  const long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr || found->pw_dir[0] != '/') {
    return std::string();
  }
  return found->pw_dir;
}

namespace foundation {

std::optional<std::string> userDirectory(UserDirectory kind) noexcept {
  const char* variable = kind == UserDirectory::cache ? "XDG_CACHE_HOME" : "XDG_STATE_HOME";
  if (const char* value = std::getenv(variable); value != nullptr && value[0] == '/') return value;
  const std::string home = NSHomeDirectory();
  if (home.empty() || !isDirectory(home)) return std::nullopt;
  return home + (kind == UserDirectory::cache ? "/.cache" : "/.local/state");
}

std::string applicationIdentifier() noexcept {
  const NSBundle& bundle = NSBundle::mainBundle();
  if (std::optional<std::string> id = bundle.bundleIdentifier(); id && !id->empty()) return *id;
  const std::string executable = bundle.executablePath();
  return executable.substr(executable.rfind('/') + 1);
}

}  // namespace foundation

FileManager& FileManager::defaultManager() noexcept {
  static FileManager* const manager = new FileManager();
  return *manager;
}

std::vector<URL> FileManager::urls(NSSearchPathDirectory directory,
                                   NSSearchPathDomainMask domains) const noexcept {
  std::vector<URL> found;
  for (const std::string& path : NSSearchPathForDirectoriesInDomains(directory, domains, true)) {
    found.push_back(URL::fileURLWithPath(path));
  }
  return found;
}

std::vector<std::string> NSSearchPathForDirectoriesInDomains(unsigned long directory,
                                                             unsigned long domains,
                                                             bool expandTilde) noexcept {
  if (directory != NSCachesDirectory || (domains & NSUserDomainMask) == 0) return {};
  const std::optional<std::string> caches =
      foundation::userDirectory(foundation::UserDirectory::cache);
  if (!caches) return {};
  const std::string id = foundation::applicationIdentifier();
  if (!expandTilde && std::getenv("XDG_CACHE_HOME") == nullptr) return {"~/.cache/" + id};
  return {*caches + "/" + id};
}

foundation::Status FileManager::createDirectory(const std::string& path,
                                                bool withIntermediateDirectories,
                                                mode_t permissions) const noexcept {
  if (withIntermediateDirectories) return makeDirectories(path, permissions);
  if (::mkdir(path.c_str(), permissions) == 0) return {};
  return foundation::posixError("mkdir(" + path + ")", errno);
}
