#include "Foundation/CodeSignature.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <nettle/sha2.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "Foundation/Data.hpp"
#include "Foundation/Text.hpp"
#include "base/FileDescriptor.hpp"

namespace {

std::optional<std::string> stringValue(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  return std::string(text, static_cast<std::size_t>(length));
}

NSError signatureFailed(std::string description) {
  return NSError{NSOSStatusErrorDomain, errSecCSSignatureFailed, std::move(description)};
}

// Whether `name`, found while listing the bundle, is left out of the seal: debug files,
// which nothing loads, and the signature itself.
bool unsealed(const std::string& name) {
  return name == ".debug" || name.ends_with(".debug") || name == "_CodeSignature";
}

// Appends the files below `directory`, as `prefix` + their path from it, to `found`.
foundation::Status listFiles(const std::string& directory, const std::string& prefix,
                             std::vector<std::string>& found) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return foundation::posixError("opendir(" + directory + ")", errno);
  foundation::Status status;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || unsealed(name)) continue;
    const std::string path = directory + "/" + name;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      status = foundation::posixError("stat(" + path + ")", errno);
      break;
    }
    if (S_ISDIR(st.st_mode)) {
      if (status = listFiles(path, prefix + name + "/", found); !status.ok()) break;
    } else {
      found.push_back(prefix + name);
    }
  }
  closedir(dir);
  return status;
}

// The files the signature of the extension at `appex` must cover, by their paths from `appex`:
// the extension's own, and the app's outside PlugIns/ ("../../Frameworks/libobjc.A.so").
foundation::Result<std::vector<std::string>> sealedFiles(const std::string& appex) {
  std::vector<std::string> found;
  if (foundation::Status listed = listFiles(appex, "", found); !listed.ok()) return listed.error();
  const std::string app = appex + "/../..";
  DIR* dir = opendir(app.c_str());
  if (dir == nullptr) return foundation::posixError("opendir(" + app + ")", errno);
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
  closedir(dir);
  for (const std::string& name : names) {
    if (name == "." || name == ".." || name == "PlugIns" || unsealed(name)) continue;
    const std::string path = app + "/" + name;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return foundation::posixError("stat(" + path + ")", errno);
    if (S_ISDIR(st.st_mode)) {
      if (foundation::Status listed = listFiles(path, "../../" + name + "/", found); !listed.ok()) {
        return listed.error();
      }
    } else {
      found.push_back("../../" + name);
    }
  }
  return found;
}

}  // namespace

namespace foundation {

Result<std::string> fileSHA256(const std::string& path) {
  const base::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return posixError("open(" + path + ")", errno);
  sha256_ctx ctx;
  sha256_init(&ctx);
  // Small enough that the stack pages it takes are few: on a cold start each page first
  // touched costs more than the extra reads.
  std::uint8_t buf[1 << 14];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return posixError("read(" + path + ")", errno);
    if (n == 0) break;
    sha256_update(&ctx, static_cast<std::size_t>(n), buf);
  }
  std::uint8_t md[SHA256_DIGEST_SIZE];
  sha256_digest(&ctx, sizeof md, md);
  return hexString({md, sizeof md});
}

Status verifyCodeSignature(const NSBundle& bundle) {
  const std::string path = bundle.bundlePath() + "/" + kCodeSignaturePath;
  Result<Data> bytes = Data::contentsOfFile(path);
  if (!bytes.ok()) {
    return NSError{NSOSStatusErrorDomain, errSecCSUnsigned,
                   "no signature: " + bytes.error().description};
  }
  Result<PropertyList> root = parseInfoPlist(bytes->view());
  if (!root.ok()) {
    NSError error = root.error();
    error.description = path + ": " + error.description;
    return error;
  }
  auto dict = static_cast<plist_t>(root->get());

  std::optional<std::string> identifier = stringValue(dict, "identifier");
  if (!identifier || identifier != bundle.bundleIdentifier()) {
    return signatureFailed("the signing identifier is not the bundle identifier");
  }
  if (plist_dict_get_item(dict, "team-identifier") != nullptr) {
    return signatureFailed("an ad hoc signature names no team");
  }
  plist_t files = plist_dict_get_item(dict, "files");
  if (files == nullptr || plist_get_node_type(files) != PLIST_DICT) {
    return signatureFailed(path + ": no \"files\" dictionary");
  }
  // Every file that runs or is read with the bundle is covered: a file that is there and not
  // covered (a library dropped into Frameworks/) fails as a changed one does.
  Result<std::vector<std::string>> sealed = sealedFiles(bundle.bundlePath());
  if (!sealed.ok()) return sealed.error();
  for (const std::string& key : *sealed) {
    plist_t entry = plist_dict_get_item(files, key.c_str());
    std::optional<std::string> expected =
        entry != nullptr && plist_get_node_type(entry) == PLIST_DICT ? stringValue(entry, "sha256")
                                                                     : std::nullopt;
    if (!expected) return signatureFailed("the signature does not cover " + key);
    Result<std::string> actual = fileSHA256(bundle.bundlePath() + "/" + key);
    if (!actual.ok()) return actual.error();
    if (*actual != *expected) return signatureFailed(key + " does not match its signature");
  }
  // And what it covers is there: a file removed fails as well.
  if (plist_dict_get_size(files) != sealed->size()) {
    return signatureFailed("a file the signature covers is missing");
  }
  return {};
}

bool isBundleIdentifier(std::string_view identifier) {
  std::size_t components = 0;
  for (std::size_t start = 0; start <= identifier.size();) {
    const std::size_t end = std::min(identifier.find('.', start), identifier.size());
    const std::string_view component = identifier.substr(start, end - start);
    const bool wellFormed =
        !component.empty() && std::all_of(component.begin(), component.end(), [](char c) {
          return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '-';
        });
    if (!wellFormed) return false;
    ++components;
    start = end + 1;
  }
  return components >= 2;
}

}  // namespace foundation
