#include "Foundation/Data.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <utility>

#include "Foundation/TemporaryFile.hpp"
#include "Foundation/Text.hpp"
#include "Foundation/URL.hpp"
#include "System/os_log.hpp"
#include "base/FileDescriptor.hpp"

namespace {

foundation::Status writeAll(int fd, const std::string& path, std::string_view bytes) {
  if (const int err = base::writeAll(fd, bytes); err != 0) {
    return foundation::posixError("write(" + path + ")", err);
  }
  return {};
}

foundation::Status writeAndClose(base::FileDescriptor fd, const std::string& path,
                                 std::string_view bytes) {
  foundation::Status status = writeAll(fd.get(), path, bytes);
  if (const int err = fd.close(); err != 0 && status.ok()) {
    status = foundation::posixError("close(" + path + ")", err);
  }
  return status;
}

foundation::Status writeDirect(const std::string& path, std::string_view bytes) {
  base::FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.valid()) return foundation::posixError("open(" + path + ")", errno);
  return writeAndClose(std::move(fd), path, bytes);
}

// A temporary file beside the target, renamed onto it: rename replaces the directory
// entry, so readers never see a partial file and a symbolic link at the target is
// replaced instead of followed.
foundation::Status writeAtomically(const std::string& path, std::string_view bytes) {
  const std::size_t slash = path.rfind('/');
  const std::string directory = path.substr(0, slash + 1);
  const std::string name = path.substr(slash + 1);
  std::string temporary;
  base::FileDescriptor fd;
  for (int attempt = 0; !fd.valid(); ++attempt) {
    // O_EXCL, not the randomness, guards against collisions.
    temporary = directory + foundation::temporaryFileName(name);
    fd = base::FileDescriptor(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd.valid() && (errno != EEXIST || attempt == 99)) {
      return foundation::posixError("open(" + temporary + ")", errno);
    }
  }
  foundation::Status status = writeAndClose(std::move(fd), temporary, bytes);
  if (status.ok() && ::rename(temporary.c_str(), path.c_str()) != 0) {
    status = foundation::posixError("rename(" + temporary + ", " + path + ")", errno);
  }
  if (!status.ok()) ::unlink(temporary.c_str());
  return status;
}

}  // namespace

foundation::Status Data::write(const URL& url, WritingOptions options) const noexcept {
  foundation::Status status = writeFile(url, options);
  static const os_log_t log = os_log_create("com.halvicourt.Foundation", "Data");
  SYSTEM_LOG_EVENT(log, OS_LOG_TYPE_INFO, "write",
                   {{"file", url.isFileURL() ? url.path() : url.absoluteString()},
                    {"bytes", count()},
                    status.ok() ? system_log::Field("error", nullptr)
                                : system_log::Field("error", status.error().description)});
  return status;
}

foundation::Status Data::writeFile(const URL& url, WritingOptions options) const {
  if (!url.isFileURL()) {
    return NSError{NSCocoaErrorDomain, NSFileWriteUnsupportedSchemeError,
                   "write: not a file URL: " + url.absoluteString()};
  }
  const std::string path = url.path();
  // A NUL byte would silently cut the path short and name a different file.
  if (path.empty() || path.back() == '/' || path.find('\0') != std::string::npos) {
    return NSError{NSCocoaErrorDomain, NSFileWriteInvalidFileNameError,
                   "write: not a file name: " + url.absoluteString()};
  }
  return (options & atomic) != 0 ? writeAtomically(path, bytes_) : writeDirect(path, bytes_);
}

foundation::Result<Data> Data::contentsOfFile(const std::string& path,
                                              std::size_t limitBytes) noexcept {
  const base::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return foundation::posixError("open(" + path + ")", errno);
  Data data;
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    data.reserve(std::min(static_cast<std::size_t>(st.st_size), limitBytes));
  }
  char buf[1 << 14];  // few stack pages: see fileSHA256
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return foundation::posixError("read(" + path + ")", errno);
    if (n == 0) return data;
    data.append(buf, static_cast<std::size_t>(n));
    if (data.count() > limitBytes) {
      return NSError{NSPOSIXErrorDomain, EFBIG,
                     path + ": larger than " + std::to_string(limitBytes) + " bytes"};
    }
  }
}
