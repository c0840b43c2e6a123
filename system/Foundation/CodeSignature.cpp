#include "Foundation/CodeSignature.hpp"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <plist/plist.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

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
  struct Covered {
    std::string key;
    std::string file;
  };
  for (const Covered& c :
       {Covered{name, executable}, Covered{"Info.plist", bundle.infoPlistPath()}}) {
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
