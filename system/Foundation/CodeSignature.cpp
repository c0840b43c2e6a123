#include "Foundation/CodeSignature.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <nettle/sha2.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>
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

// A file the signature must cover: its key in "files", and where it is.
struct Covered {
  std::string key;
  std::string file;
};

// Adds the files in `folder`, keyed `key` + their names, and with `lproj`, those of its .lproj
// folders too.
void addResources(const std::string& folder, const std::string& key, bool lproj,
                  std::vector<Covered>& resources) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    const std::string path = folder + "/" + name;
    struct stat st {};
    if (name == "." || name == ".." || stat(path.c_str(), &st) != 0) continue;
    if (!S_ISDIR(st.st_mode)) {
      resources.push_back({key + name, path});
    } else if (lproj && name.size() > 6 && name.ends_with(".lproj")) {
      addResources(path, key + name + "/", false, resources);
    }
  }
  closedir(dir);
}

// The files of the app around the extension that the platform reads on its behalf (the app's
// Info.plist, strings tables, sounds): every file at the top of the app's folder and in its
// .lproj folders, keyed by its path from the extension's folder. Listed from the folders
// themselves, so that a file added there is one the signature does not cover.
std::vector<Covered> appResources(const NSBundle& bundle) {
  std::vector<Covered> resources;
  if (const std::optional<std::string> app = foundation::containingAppPath(bundle.bundlePath())) {
    addResources(*app, "../../", true, resources);
  }
  return resources;
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
  const std::string executable = bundle.executablePath();
  const std::string name = executable.substr(executable.rfind('/') + 1);
  std::vector<Covered> covered = {{name, executable}, {"Info.plist", bundle.infoPlistPath()}};
  for (Covered& resource : appResources(bundle)) covered.push_back(std::move(resource));
  for (const Covered& c : covered) {
    plist_t entry = plist_dict_get_item(files, c.key.c_str());
    std::optional<std::string> expected =
        entry != nullptr && plist_get_node_type(entry) == PLIST_DICT ? stringValue(entry, "sha256")
                                                                     : std::nullopt;
    if (!expected) return signatureFailed("the signature does not cover " + c.key);
    Result<std::string> actual = fileSHA256(c.file);
    if (!actual.ok()) return actual.error();
    if (*actual != *expected) return signatureFailed(c.key + " does not match its signature");
  }
  return {};
}

}  // namespace foundation
