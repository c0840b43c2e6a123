#include "host/gateway/StateFiles.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/FileDescriptor.hpp"

namespace host::gateway {

namespace {

constexpr std::size_t kLargestStateFile = 1u << 20;

}  // namespace

foundation::Result<std::string> readStateFile(const std::string& path) {
  base::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return foundation::posixError("open(" + path + ")", errno);
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return foundation::posixError("read(" + path + ")", errno);
    if (got == 0) return bytes;
    bytes.append(buffer, static_cast<std::size_t>(got));
    if (bytes.size() > kLargestStateFile) {
      return NSError{NSPOSIXErrorDomain, EFBIG, path + ": larger than 1 MiB"};
    }
  }
}

foundation::Status makeStateDirectory(const std::string& path) {
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    const std::string prefix = path.substr(0, at);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      return foundation::posixError("mkdir(" + prefix + ")", errno);
    }
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return foundation::posixError("stat(" + path + ")", errno);
  if (!S_ISDIR(info.st_mode))
    return NSError{NSPOSIXErrorDomain, ENOTDIR, path + ": not a directory"};
  return {};
}

foundation::Status writeStateFile(const std::string& path, const std::string& bytes, mode_t mode) {
  const std::string aside = path + ".tmp." + std::to_string(::getpid());
  base::FileDescriptor fd(
      ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode));
  if (!fd.valid()) return foundation::posixError("open(" + aside + ")", errno);
  const auto fail = [&aside](const std::string& call, int err) {
    ::unlink(aside.c_str());
    return foundation::Status(foundation::posixError(call + "(" + aside + ")", err));
  };
  if (::fchmod(fd.get(), mode) != 0) return fail("fchmod", errno);
  if (const int err = base::writeAll(fd.get(), bytes)) return fail("write", err);
  if (::fsync(fd.get()) != 0) return fail("fsync", errno);
  if (const int err = fd.close()) return fail("close", err);
  if (::rename(aside.c_str(), path.c_str()) != 0) return fail("rename", errno);
  return {};
}

}  // namespace host::gateway
