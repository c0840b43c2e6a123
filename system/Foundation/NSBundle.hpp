// NSBundle: a bundle's folder, its Info.plist and the values the platform reads from it, and
// its localized resources: the strings tables of its <language>.lproj folders. The main bundle
// (the running executable's) is made once, on first use, and never goes away. Thread-safe:
// the info dictionary is fixed at construction, and the localizations and tables, read on
// first use and kept, are guarded by the bundle itself.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Foundation/Export.hpp"
#include "Foundation/NSError.hpp"
#include "Foundation/StringsTable.hpp"
#include "base/Mutex.hpp"

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

// The folder of the app whose PlugIns folder holds the extension bundle at `extensionPath`
// (".../Halvicourt.app/PlugIns/X.appex" gives ".../Halvicourt.app"); absent for a bundle that
// is not in an app's PlugIns folder.
FOUNDATION_EXPORT std::optional<std::string> containingAppPath(
    std::string_view extensionPath) noexcept;

}  // namespace foundation

class NSBundle {
 public:
  // The bundle of the running executable's folder. Outside a bundle (no Info.plist beside
  // the executable) it has no info dictionary.
  FOUNDATION_EXPORT static const NSBundle& mainBundle() noexcept;
  // The bundle at `path` (a folder). Used by tests and by the extension runner's checks.
  FOUNDATION_EXPORT explicit NSBundle(std::string path) noexcept;
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

  // The localizations the bundle has: the names of its "<name>.lproj" folders, sorted.
  std::vector<std::string> localizations() const EXCLUDES(mu_);
  // The language of the bundle's own texts: CFBundleDevelopmentRegion; "en" without one.
  std::string developmentLocalization() const;
  // Those of `localizations` that `preferences` (language tags, most preferred first) ask for,
  // in the preferences' order: each preference takes the localization of its own tag, then,
  // dropping its last part each time, of the tags it refines ("zh-Hant-TW", "zh-Hant", "zh").
  // Tags are compared without case, with "_" as "-" ("pt_BR.lproj" serves "pt-BR").
  static std::vector<std::string> preferredLocalizationsFromArray(
      const std::vector<std::string>& localizations, const std::vector<std::string>& preferences);
  // Where the bundle's texts are looked up, in order: the localizations the user's languages
  // (NSLocale::preferredLanguages) ask for, then the development localization when the bundle
  // has it.
  std::vector<std::string> preferredLocalizations() const EXCLUDES(mu_);

  // The text of `key` in the strings table `table` ("Localizable" when empty) of the first of
  // preferredLocalizations() whose table has it; otherwise `value`, or `key` when `value` is
  // empty. A table that cannot be read counts as one without the key.
  FOUNDATION_EXPORT std::string localizedStringForKey(const std::string& key,
                                                      const std::string& value,
                                                      const std::string& table) const noexcept
      EXCLUDES(mu_);

  // The path of the resource file `name` (with `extension` after a dot when not empty): at the
  // top of the bundle's folder, else in one of preferredLocalizations()' folders. Absent when
  // there is no regular file of that name, or the name is not a file name of the folder ("",
  // ".", "..", a "/").
  FOUNDATION_EXPORT std::optional<std::string> pathForResource(
      std::string_view name, std::string_view extension) const noexcept EXCLUDES(mu_);

 private:
  NSBundle(std::string path, std::string executable);

  // The table `table` of `localization`, read on first use; null when it cannot be read.
  const foundation::StringsTable* stringsTable(const std::string& localization,
                                               const std::string& table) const EXCLUDES(mu_);

  std::string path_;
  std::string executable_;  // the running executable, for the main bundle
  foundation::PropertyList info_;
  std::optional<NSError> infoError_;  // absent when info_ was read

  mutable base::Mutex mu_;  // guards what is read on first use
  mutable std::optional<std::vector<std::string>> localizations_ GUARDED_BY(mu_);
  // "<localization>/<table>" -> the table, or absent when it could not be read. Tables are
  // never removed, so a pointer to one stays valid as long as the bundle.
  mutable std::map<std::string, std::optional<foundation::StringsTable>, std::less<>> tables_
      GUARDED_BY(mu_);
};
