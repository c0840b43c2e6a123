#include "host/gateway/StateFiles.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Foundation/Data.hpp"
#include "base/FileDescriptor.hpp"

namespace host::gateway {

namespace {

constexpr std::size_t kLargestStateFile = 1u << 20;

}  // namespace

foundation::Result<std::string> readStateFile(const std::string& path) {
  foundation::Result<Data> bytes = Data::contentsOfFile(path, kLargestStateFile);
  if (!bytes.ok()) return bytes.error();
  return std::string(bytes->view());
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
