// NSBundle: the bundle that holds the running executable: its folder, its Info.plist and
// the values the platform reads from it. The main bundle is made once, on first use, and
// never changes or goes away, so it is thread-safe.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Foundation/Export.hpp"
#include "Foundation/NSError.hpp"

namespace foundation {

// Frees a parsed property list (plist_free), so that its owners need not include libplist.
struct PropertyListFree {
  void operator()(void* root) const;
};
// The root node (a plist_t) of a parsed property list, owned.
using PropertyList = std::unique_ptr<void, PropertyListFree>;

// The info dictionary's text parsed as a property list (XML or binary). A text that is not
// one, or whose top level is not a dictionary, gives NSCocoaErrorDomain /
// NSPropertyListReadCorruptError saying which.
Result<PropertyList> parseInfoPlist(std::string_view bytes);

}  // namespace foundation

class NSBundle {
 public:
  // The bundle of the running executable's folder. Outside a bundle (no Info.plist beside
  // the executable) it has no info dictionary.
  FOUNDATION_EXPORT static const NSBundle& mainBundle() noexcept;
  // The bundle at `path` (a folder). Used by tests and by the extension runner's checks.
  explicit NSBundle(std::string path);
  NSBundle(const NSBundle&) = delete;
  NSBundle& operator=(const NSBundle&) = delete;

  const std::string& bundlePath() const { return path_; }
  // The executable's path: the bundle's CFBundleExecutable, or the running executable for
  // the main bundle.
  std::string executablePath() const;
  std::string infoPlistPath() const { return path_ + "/Info.plist"; }

  // Whether Info.plist was read; when not, the error says why (it names Info.plist's path).
  bool hasInfoDictionary() const { return info_ != nullptr; }
  const std::optional<NSError>& infoDictionaryError() const { return infoError_; }

  std::optional<std::string> bundleIdentifier() const;
  // A string value by key path ("NSExtension.NSExtensionPrincipalClass"); absent when a key
  // is missing or the value is not a string.
  FOUNDATION_EXPORT std::optional<std::string> stringForKeyPath(
      std::string_view keyPath) const noexcept;

 private:
  NSBundle(std::string path, std::string executable);

  std::string path_;
  std::string executable_;  // the running executable, for the main bundle
  foundation::PropertyList info_;
  std::optional<NSError> infoError_;  // absent when info_ was read
};
