#include "Foundation/Data.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "Foundation/URL.hpp"

namespace {

// NSCocoaErrorDomain codes for a file URL that cannot be written at all.
constexpr long kFileWriteInvalidFileNameError = 514;
constexpr long kFileWriteUnsupportedSchemeError = 518;

std::optional<NSError> writeAll(int fd, const std::string& path, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return foundation::posixError("write(" + path + ")", errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return std::nullopt;
}

// Writes and closes `fd`; a failed close is reported because NFS and quota errors can
// surface only there.
std::optional<NSError> writeAndClose(int fd, const std::string& path, std::string_view bytes) {
  std::optional<NSError> error = writeAll(fd, path, bytes);
  if (::close(fd) != 0 && !error) error = foundation::posixError("close(" + path + ")", errno);
  return error;
}

// Twelve hex digits for a temporary name; O_EXCL, not the randomness, guards collisions.
std::string randomHex() {
  std::uint64_t value = 0;
  if (getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
    static std::atomic<std::uint64_t> counter{0};
    value = (static_cast<std::uint64_t>(getpid()) << 24) + counter.fetch_add(1);
  }
  char hex[13];
  std::snprintf(hex, sizeof hex, "%012llx",
                static_cast<unsigned long long>(value & 0xFFFFFFFFFFFFu));
  return hex;
}

std::optional<NSError> writeDirect(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return foundation::posixError("open(" + path + ")", errno);
  return writeAndClose(fd, path, bytes);
}

// A temporary file beside the target, renamed onto it: rename replaces the directory
// entry, so readers never see a partial file and a symbolic link at the target is
// replaced instead of followed.
std::optional<NSError> writeAtomically(const std::string& path, std::string_view bytes) {
  const std::size_t slash = path.rfind('/');
  const std::string directory = path.substr(0, slash + 1);
  const std::string name = path.substr(slash + 1);
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    const std::string random = randomHex();
    std::string tempName = "." + name + "." + random + ".tmp";
    // A long target name would make the temporary name too long to create.
    if (tempName.size() > NAME_MAX) tempName = ".tmp." + random;
    temporary = directory + tempName;
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt == 99)) {
      return foundation::posixError("open(" + temporary + ")", errno);
    }
  }
  std::optional<NSError> error = writeAndClose(fd, temporary, bytes);
  if (!error && ::rename(temporary.c_str(), path.c_str()) != 0) {
    error = foundation::posixError("rename(" + temporary + ", " + path + ")", errno);
  }
  if (error) ::unlink(temporary.c_str());
  return error;
}

}  // namespace

std::optional<NSError> Data::write(const URL& url, WritingOptions options) const {
  if (!url.isFileURL()) {
    return NSError{NSCocoaErrorDomain, kFileWriteUnsupportedSchemeError,
                   "write: not a file URL: " + url.absoluteString()};
  }
  const std::string path = url.path();
  // A NUL byte would silently cut the path short and name a different file.
  if (path.empty() || path.back() == '/' || path.find('\0') != std::string::npos) {
    return NSError{NSCocoaErrorDomain, kFileWriteInvalidFileNameError,
                   "write: not a file name: " + url.absoluteString()};
  }
  return (options & atomic) != 0 ? writeAtomically(path, bytes_) : writeDirect(path, bytes_);
}

std::optional<Data> Data::contentsOfFile(const std::string& path, std::optional<NSError>* error) {
  auto fail = [&](const char* call) {
    if (error != nullptr)
      *error = foundation::posixError(std::string(call) + "(" + path + ")", errno);
    return std::nullopt;
  };
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail("open");
  Data data;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    data.reserve(static_cast<std::size_t>(st.st_size));
  }
  char buf[1 << 16];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      close(fd);
      errno = err;
      return fail("read");
    }
    if (n == 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  close(fd);
  return data;
}
