// Text taken as an image address the way the service takes it: parsed as a URL, its path
// extension read from the address, and the cache file named from it. Whatever the address,
// the file must be named <32 lowercase hex digits>[.<extension>] directly inside the caches
// directory, and its file URL must be valid and give that path back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Foundation/Text.hpp"
#include "Foundation/URL.hpp"
#include "service/NotificationServiceInternal.hpp"

namespace {

namespace nsi = notification_service;

// Never created: naming the file touches nothing. Its characters need percent-encoding in
// a file URL, so a path that is decoded wrongly shows up as a different parent.
constexpr const char* kCacheHome = "/tmp/halvicourt-fuzz caches %2F?#[]";

void check(bool condition) {
  if (!condition) __builtin_trap();
}

bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("XDG_CACHE_HOME", kCacheHome, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<URL> url = URL::fromString(text);
  if (!url) return 0;
  check(url->absoluteString() == text);
  const std::string extension = pathExtension(url->absoluteString());

  static const std::string caches = nsi::cachesDirectory(FileManager::defaultManager());
  check(caches.rfind(std::string(kCacheHome) + "/", 0) == 0);

  std::optional<URL> file = nsi::cacheFileURL(*url);
  if (!file) return 0;
  check(file->isFileURL());
  check(URL::fromString(file->absoluteString()).has_value());
  const std::string path = file->path();
  const std::size_t slash = path.rfind('/');
  check(slash != std::string::npos);
  check(path.substr(0, slash) == caches);
  const std::string name = path.substr(slash + 1);
  check(name != "." && name != "..");
  check(name.size() >= 32);
  for (std::size_t i = 0; i < 32; ++i) check(isLowerHex(name[i]));
  check(name.substr(0, 32) == nsi::md5(url->absoluteString()));
  check(name.find('\0') == std::string::npos);
  check(extension.empty() ? name.size() == 32 : name.substr(32) == "." + extension);
  return 0;
}
