#include "UserNotifications/ByteReader.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace user_notifications {

ByteReader::ByteReader(std::span<const std::uint8_t> bytes)
    : memory_(bytes.data()), window_(bytes), size_(bytes.size()) {}

ByteReader::ByteReader(int fd, std::uint64_t size, std::span<std::uint8_t> buffer)
    : fd_(fd), buffer_(buffer), size_(size) {}

void ByteReader::endHere(int error) {
  error_ = error;
  size_ = position_;
  window_ = {};
}

std::span<const std::uint8_t> ByteReader::peek() {
  if (!window_.empty() || memory_ != nullptr || position_ >= size_) return window_;
  const std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), remaining()));
  ssize_t got = 0;
  do {
    got = ::pread(fd_, buffer_.data(), want, static_cast<off_t>(position_));
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    // A file that shrank since its size was taken ends where it ends now.
    endHere(got < 0 ? errno : 0);
  } else {
    window_ = buffer_.first(static_cast<std::size_t>(got));
  }
  return window_;
}

bool ByteReader::skip(std::uint64_t n) {
  if (n > remaining()) {
    position_ = size_;
    window_ = {};
    return false;
  }
  position_ += n;
  if (n <= window_.size()) {
    window_ = window_.subspan(static_cast<std::size_t>(n));
  } else if (memory_ != nullptr) {
    window_ =
        std::span<const std::uint8_t>(memory_ + position_, static_cast<std::size_t>(remaining()));
  } else {
    window_ = {};  // skipped bytes of a file are never read
  }
  return true;
}

bool ByteReader::read(void* out, std::size_t n) {
  auto* to = static_cast<std::uint8_t*>(out);
  return consume(n, [&](std::span<const std::uint8_t> some) {
    std::memcpy(to, some.data(), some.size());
    to += some.size();
  });
}

int ByteReader::next() {
  std::span<const std::uint8_t> some = peek();
  if (some.empty()) return -1;
  const int byte = some[0];
  skip(1);
  return byte;
}

}  // namespace user_notifications
