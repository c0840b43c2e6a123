#include "Foundation/NSBundle.hpp"

#include "Foundation/Data.hpp"
#include "Foundation/NSLocale.hpp"
#include "base/OwnExecutable.hpp"

#include <dirent.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <utility>

namespace {

std::string directoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// `tag` lowercased, with "_" as "-": "pt_BR" and "pt-br" name one language.
std::string comparableTag(std::string_view tag) {
  std::string comparable(tag);
  for (char& c : comparable) {
    c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return comparable;
}

constexpr std::string_view kLocalizationSuffix = ".lproj";

}  // namespace

namespace foundation {

void PropertyListFree::operator()(void* root) const { plist_free(static_cast<plist_t>(root)); }

Result<PropertyList> parseInfoPlist(std::string_view bytes) {
  auto corrupt = [](const char* why) {
    return NSError{NSCocoaErrorDomain, NSPropertyListReadCorruptError, why};
  };
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) return corrupt("too large");
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
  PropertyList owned(root);
  if (owned == nullptr) return corrupt("not a property list");
  if (plist_get_node_type(root) != PLIST_DICT) return corrupt("its top level is not a dictionary");
  return owned;
}

std::optional<std::string> containingAppPath(std::string_view extensionPath) noexcept {
  const std::string plugIns = directoryOf(std::string(extensionPath));
  if (plugIns.size() < 8 || plugIns.compare(plugIns.size() - 8, 8, "/PlugIns") != 0) {
    return std::nullopt;
  }
  return directoryOf(plugIns);
}

}  // namespace foundation

const NSBundle& NSBundle::mainBundle() noexcept {
  // Never destroyed: the bundle is read until the very end of the process.
  static const NSBundle* bundle = [] {
    std::string exe = base::ownExecutablePath();
    return new NSBundle(directoryOf(exe), exe);
  }();
  return *bundle;
}

NSBundle::NSBundle(std::string path) noexcept : NSBundle(std::move(path), std::string()) {}

NSBundle::NSBundle(std::string path, std::string executable)
    : path_(std::move(path)), executable_(std::move(executable)) {
  foundation::Result<Data> bytes = Data::contentsOfFile(infoPlistPath());
  if (!bytes.ok()) {
    infoError_ = bytes.error();
    return;
  }
  foundation::Result<foundation::PropertyList> info = foundation::parseInfoPlist(bytes->view());
  if (!info.ok()) {
    infoError_ = info.error();
    infoError_->description = infoPlistPath() + ": " + infoError_->description;
    return;
  }
  info_ = std::move(*info);
}

std::string NSBundle::executablePath() const {
  if (!executable_.empty()) return executable_;
  std::optional<std::string> name = stringForKeyPath("CFBundleExecutable");
  return name ? path_ + "/" + *name : std::string();
}

std::optional<std::string> NSBundle::bundleIdentifier() const {
  return stringForKeyPath("CFBundleIdentifier");
}

std::optional<std::string> NSBundle::stringForKeyPath(std::string_view keyPath) const noexcept {
  plist_t node = static_cast<plist_t>(info_.get());
  while (node != nullptr && !keyPath.empty()) {
    std::size_t dot = keyPath.find('.');
    std::string key(keyPath.substr(0, dot));
    keyPath = dot == std::string_view::npos ? std::string_view() : keyPath.substr(dot + 1);
    node =
        plist_get_node_type(node) == PLIST_DICT ? plist_dict_get_item(node, key.c_str()) : nullptr;
  }
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  return std::string(text, static_cast<std::size_t>(length));
}

std::vector<std::string> NSBundle::localizations() const {
  base::MutexLock lock(mu_);
  if (!localizations_) {
    std::vector<std::string> found;
    if (DIR* dir = opendir(path_.c_str())) {
      while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        struct stat st {};
        if (name.size() > kLocalizationSuffix.size() && name.ends_with(kLocalizationSuffix) &&
            stat((path_ + "/" + entry->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
          found.emplace_back(name.substr(0, name.size() - kLocalizationSuffix.size()));
        }
      }
      closedir(dir);
    }
    std::sort(found.begin(), found.end());
    localizations_ = std::move(found);
  }
  return *localizations_;
}

std::string NSBundle::developmentLocalization() const {
  return stringForKeyPath("CFBundleDevelopmentRegion").value_or("en");
}

std::vector<std::string> NSBundle::preferredLocalizationsFromArray(
    const std::vector<std::string>& localizations, const std::vector<std::string>& preferences) {
  std::vector<std::string> preferred;
  for (const std::string& preference : preferences) {
    for (std::string tag = comparableTag(preference); !tag.empty();) {
      for (const std::string& localization : localizations) {
        if (comparableTag(localization) == tag &&
            std::find(preferred.begin(), preferred.end(), localization) == preferred.end()) {
          preferred.push_back(localization);
        }
      }
      const std::size_t dash = tag.rfind('-');
      tag.resize(dash == std::string::npos ? 0 : dash);
    }
  }
  return preferred;
}

std::vector<std::string> NSBundle::preferredLocalizations() const {
  const std::vector<std::string> available = localizations();
  std::vector<std::string> preferred =
      preferredLocalizationsFromArray(available, NSLocale::preferredLanguages());
  for (const std::string& development :
       preferredLocalizationsFromArray(available, {developmentLocalization()})) {
    if (std::find(preferred.begin(), preferred.end(), development) == preferred.end()) {
      preferred.push_back(development);
    }
  }
  return preferred;
}

const foundation::StringsTable* NSBundle::stringsTable(const std::string& localization,
                                                       const std::string& table) const {
  const std::string key = localization + "/" + table;
  base::MutexLock lock(mu_);
  auto it = tables_.find(key);
  if (it == tables_.end()) {
    std::optional<foundation::StringsTable> read;
    foundation::Result<Data> bytes = Data::contentsOfFile(
        path_ + "/" + localization + std::string(kLocalizationSuffix) + "/" + table + ".strings");
    if (bytes.ok()) {
      foundation::Result<foundation::StringsTable> parsed =
          foundation::StringsTable::parse(bytes->view());
      if (parsed.ok()) read = std::move(*parsed);
    }
    it = tables_.emplace(key, std::move(read)).first;
  }
  return it->second ? &*it->second : nullptr;
}

std::string NSBundle::localizedStringForKey(const std::string& key, const std::string& value,
                                            const std::string& table) const noexcept {
  const std::string name = table.empty() ? std::string("Localizable") : table;
  for (const std::string& localization : preferredLocalizations()) {
    const foundation::StringsTable* strings = stringsTable(localization, name);
    if (const std::string* text = strings != nullptr ? strings->find(key) : nullptr) return *text;
  }
  return value.empty() ? key : value;
}

std::optional<std::string> NSBundle::pathForResource(std::string_view name,
                                                     std::string_view extension) const noexcept {
  std::string file(name);
  if (!extension.empty()) file += "." + std::string(extension);
  if (file.empty() || file == "." || file == ".." || file.find('/') != std::string::npos ||
      file.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  std::vector<std::string> folders = {path_};
  for (const std::string& localization : preferredLocalizations()) {
    folders.push_back(path_ + "/" + localization + std::string(kLocalizationSuffix));
  }
  for (const std::string& folder : folders) {
    const std::string path = folder + "/" + file;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return path;
  }
  return std::nullopt;
}
