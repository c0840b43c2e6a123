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

// The user's home directory: $HOME, or the password database's entry when HOME is unset or
// empty; empty when neither has one. Thread-safe.
FOUNDATION_EXPORT std::string NSHomeDirectory();

enum NSSearchPathDirectory : unsigned long { NSCachesDirectory = 13 };
enum NSSearchPathDomainMask : unsigned long { NSUserDomainMask = 1 };

class FOUNDATION_EXPORT FileManager {
 public:
  // The shared file manager; never destroyed.
  static FileManager& defaultManager();

  // The file URLs of the directories of kind `directory` in `domains`: what
  // NSSearchPathForDirectoriesInDomains finds, with the home directory expanded.
  std::vector<URL> urls(NSSearchPathDirectory directory, NSSearchPathDomainMask domains) const;

  // Makes the directory at `path` with `permissions` (less the umask). With
  // `withIntermediateDirectories` the missing parents are made too, with the same
  // permissions, and a directory already there is success; without, it is an error.
  foundation::Status createDirectory(const std::string& path, bool withIntermediateDirectories,
                                     mode_t permissions = 0777) const;

 private:
  FileManager() = default;
};

// The directories of kind `directory` in `domains`. For the caches directory of the user's
// domain that is $XDG_CACHE_HOME/<bundle identifier> ($HOME/.cache when XDG_CACHE_HOME is
// unset, empty or relative; "~/.cache" unexpanded when `expandTilde` is false). The bundle
// identifier is the main bundle's, or the executable's file name outside a bundle.
// Other kinds, domain masks without the user's domain, and a home directory that cannot
// be found give an empty list.
FOUNDATION_EXPORT std::vector<std::string> NSSearchPathForDirectoriesInDomains(
    unsigned long directory, unsigned long domains, bool expandTilde);
