#include "Foundation/FileManager.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "Foundation/NSBundle.hpp"

namespace {

// Outside a bundle the executable's file name stands in for the bundle identifier.
std::string applicationIdentifier() {
  if (std::optional<std::string> id = NSBundle::mainBundle().bundleIdentifier();
      id && !id->empty()) {
    return *id;
  }
  std::string executable(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", executable.data(), executable.size());
  executable.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
  return executable.substr(executable.rfind('/') + 1);
}

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
  return foundation::posixError("mkdir(" + path + ")", err);
}

}  // namespace

std::string NSHomeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') return home;
  const long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return std::string();
  }
  return found->pw_dir;
}

FileManager& FileManager::defaultManager() {
  static FileManager* const manager = new FileManager();
  return *manager;
}

std::vector<URL> FileManager::urls(NSSearchPathDirectory directory,
                                   NSSearchPathDomainMask domains) const {
  std::vector<URL> found;
  for (const std::string& path : NSSearchPathForDirectoriesInDomains(directory, domains, true)) {
    found.push_back(URL::fileURLWithPath(path));
  }
  return found;
}

std::vector<std::string> NSSearchPathForDirectoriesInDomains(unsigned long directory,
                                                             unsigned long domains,
                                                             bool expandTilde) {
  if (directory != NSCachesDirectory || (domains & NSUserDomainMask) == 0) return {};
  const std::string id = applicationIdentifier();
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/') {
    return {std::string(xdg) + "/" + id};
  }
  const std::string home = expandTilde ? NSHomeDirectory() : "~";
  if (home.empty()) return {};
  return {home + "/.cache/" + id};
}

foundation::Status FileManager::createDirectory(const std::string& path,
                                                bool withIntermediateDirectories,
                                                mode_t permissions) const {
  if (withIntermediateDirectories) return makeDirectories(path, permissions);
  if (::mkdir(path.c_str(), permissions) == 0) return {};
  return foundation::posixError("mkdir(" + path + ")", errno);
}
