// NSBundle: the bundle that holds the running executable: its folder, its Info.plist and
// the values the platform reads from it. The main bundle is made once, on first use, and
// never changes or goes away, so it is thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

class NSBundle {
 public:
  // The bundle of the running executable's folder. Outside a bundle (no Info.plist beside
  // the executable) it has no info dictionary.
  static const NSBundle& mainBundle();
  // The bundle at `path` (a folder). Used by tests and by the extension runner's checks.
  explicit NSBundle(std::string path);
  ~NSBundle();
  NSBundle(const NSBundle&) = delete;
  NSBundle& operator=(const NSBundle&) = delete;

  const std::string& bundlePath() const { return path_; }
  // The executable's path: the bundle's CFBundleExecutable, or the running executable for
  // the main bundle.
  std::string executablePath() const;
  std::string infoPlistPath() const { return path_ + "/Info.plist"; }

  // Whether Info.plist was read; when not, why (e.g. "Info.plist: No such file or directory").
  bool hasInfoDictionary() const { return info_ != nullptr; }
  const std::string& infoDictionaryError() const { return infoError_; }

  std::optional<std::string> bundleIdentifier() const;
  // A string value by key path ("NSExtension.NSExtensionPrincipalClass"); absent when a key
  // is missing or the value is not a string.
  std::optional<std::string> stringForKeyPath(std::string_view keyPath) const;

 private:
  NSBundle(std::string path, std::string executable);

  std::string path_;
  std::string executable_;  // the running executable, for the main bundle
  void* info_ = nullptr;    // plist_t of the info dictionary, owned
  std::string infoError_;
};

// The info dictionary's text parsed as a property list (XML or binary); absent with `error`
// set when it is not one or its top level is not a dictionary. Frees nothing it returns:
// the caller owns the plist_t and frees it with plist_free.
void* NSBundleParseInfoPlist(std::string_view bytes, std::string* error);
