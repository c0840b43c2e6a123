#include "Foundation/CodeSignature.hpp"

#include "Foundation/Data.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <plist/plist.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

std::optional<std::string> stringValue(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace

std::optional<std::string> NSFileSHA256(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
  unsigned char buf[1 << 16];
  while (ok) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    ok = EVP_DigestUpdate(ctx.get(), buf, static_cast<std::size_t>(n)) == 1;
  }
  close(fd);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdLen = 0;
  if (!ok || EVP_DigestFinal_ex(ctx.get(), md, &mdLen) != 1) return std::nullopt;
  std::string hex;
  for (unsigned int i = 0; i < mdLen; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", md[i]);
    hex += two;
  }
  return hex;
}

std::optional<std::string> NSBundleVerifyCodeSignature(const NSBundle& bundle) {
  const std::string path = bundle.bundlePath() + "/" + kCodeSignaturePath;
  std::optional<NSError> error;
  std::optional<Data> bytes = Data::contentsOfFile(path, &error);
  if (!bytes) return "no signature: " + error->description;
  std::string why;
  std::unique_ptr<void, void (*)(void*)> root(NSBundleParseInfoPlist(bytes->view(), &why),
                                              [](void* p) { plist_free(static_cast<plist_t>(p)); });
  if (!root) return path + ": " + why;
  auto dict = static_cast<plist_t>(root.get());

  std::optional<std::string> identifier = stringValue(dict, "identifier");
  if (!identifier || identifier != bundle.bundleIdentifier()) {
    return "the signing identifier is not the bundle identifier";
  }
  if (plist_dict_get_item(dict, "team-identifier") != nullptr) {
    return "an ad hoc signature names no team";
  }
  plist_t files = plist_dict_get_item(dict, "files");
  if (files == nullptr || plist_get_node_type(files) != PLIST_DICT) {
    return path + ": no \"files\" dictionary";
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
    if (!expected) return "the signature does not cover " + c.key;
    std::optional<std::string> actual = NSFileSHA256(c.file);
    if (!actual) return "cannot read " + c.file;
    if (*actual != *expected) return c.key + " does not match its signature";
  }
  return std::nullopt;
}
