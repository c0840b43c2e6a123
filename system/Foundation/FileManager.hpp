// FileManager: the process-wide file manager, and the directory search that finds the
// user caches directory. Stateless apart from the environment it reads; thread-safe.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "Foundation/Export.hpp"
#include "Foundation/NSError.hpp"
#include "Foundation/URL.hpp"

// The user's home directory: $HOME when it is an absolute path, otherwise the password
// database's entry when that is one; empty when neither is. Thread-safe.
std::string NSHomeDirectory();

enum NSSearchPathDirectory : unsigned long { NSCachesDirectory = 13 };
enum NSSearchPathDomainMask : unsigned long { NSUserDomainMask = 1 };

class FileManager {
 public:
  // The shared file manager; never destroyed.
  FOUNDATION_EXPORT static FileManager& defaultManager() noexcept;

  // The file URLs of the directories of kind `directory` in `domains`: what
  // NSSearchPathForDirectoriesInDomains finds, with the home directory expanded.
  FOUNDATION_EXPORT std::vector<URL> urls(NSSearchPathDirectory directory,
                                          NSSearchPathDomainMask domains) const noexcept;

  // Makes the directory at `path` with `permissions` (less the umask). With
  // `withIntermediateDirectories` the missing parents are made too, with the same
  // permissions, and a directory already there is success; without, it is an error.
  FOUNDATION_EXPORT foundation::Status createDirectory(const std::string& path,
                                                       bool withIntermediateDirectories,
                                                       mode_t permissions = 0777) const noexcept;

 private:
  FileManager() = default;
};

// The directories of kind `directory` in `domains`. For the caches directory of the user's
// domain that is <the user's cache directory>/<application identifier> (below; "~/.cache"
// unexpanded when `expandTilde` is false). Other kinds, domain masks without the user's domain,
// and no home directory give an empty list.
FOUNDATION_EXPORT std::vector<std::string> NSSearchPathForDirectoriesInDomains(
    unsigned long directory, unsigned long domains, bool expandTilde) noexcept;

namespace foundation {

// The user's base directories, as the XDG rules name them.
enum class UserDirectory {
  cache,  // $XDG_CACHE_HOME, or ~/.cache
  state,  // $XDG_STATE_HOME, or ~/.local/state
};

// The user's base directory of `kind`: the variable's value when it is an absolute path (a
// relative one is ignored, as the rules say), otherwise below the home directory. Absent when
// there is no home directory to go below: none is named, or the one named does not exist (as
// Debian's "no home", /nonexistent, does not), which is not the process's to make.
FOUNDATION_EXPORT std::optional<std::string> userDirectory(UserDirectory kind) noexcept;

// The identifier the platform files the application's data under: the main bundle's
// identifier, or the executable's file name outside a bundle.
FOUNDATION_EXPORT std::string applicationIdentifier() noexcept;

}  // namespace foundation
