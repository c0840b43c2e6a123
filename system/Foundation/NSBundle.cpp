#include "Foundation/NSBundle.hpp"

#include "Foundation/Data.hpp"
#include "base/OwnExecutable.hpp"

#include <plist/plist.h>
#include <unistd.h>

#include <limits>
#include <utility>

namespace {

std::string directoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

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

}  // namespace foundation

const NSBundle& NSBundle::mainBundle() noexcept {
  // Never destroyed: the bundle is read until the very end of the process.
  static const NSBundle* bundle = [] {
    std::string exe = base::ownExecutablePath();
    return new NSBundle(directoryOf(exe), exe);
  }();
  return *bundle;
}

NSBundle::NSBundle(std::string path) : NSBundle(std::move(path), std::string()) {}

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
