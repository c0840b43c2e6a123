// FileDescriptor: the one owner of an open file descriptor, which it closes when it goes; and
// writeAll, the one loop that writes a whole buffer to a descriptor.
// Movable, not copyable; not thread-safe (one owner at a time, like the descriptor itself).
// Header-only, so every library that opens files uses it without exporting anything.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>

namespace base {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  // Takes over `fd` (the result of open(), say); a negative value owns nothing.
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }

  // Closes now and reports how that went: 0, or the errno of a failed close. A writer must
  // look, because NFS and quota errors may surface only at the close.
  [[nodiscard]] int close() noexcept {
    if (fd_ < 0) return 0;
    return ::close(std::exchange(fd_, -1)) == 0 ? 0 : errno;
  }

 private:
  // Readers have nothing to learn from a failed close.
  void reset() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

  int fd_ = -1;
};

// Writes all of `bytes` to `fd`, write after write, retrying when a signal interrupts one: 0, or
// the errno of the write that failed (EIO for one that wrote nothing).
inline int writeAll(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
    } else if (written == 0 || errno != EINTR) {
      return written == 0 ? EIO : errno;
    }
  }
  return 0;
}

}  // namespace base
