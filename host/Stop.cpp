#include "host/Stop.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace host {

namespace {

foundation::Status openPipe(base::FileDescriptor (&ends)[2]) {
  int fds[2] = {-1, -1};
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return foundation::posixError("pipe2", errno);
  ends[0] = base::FileDescriptor(fds[0]);
  ends[1] = base::FileDescriptor(fds[1]);
  return {};
}

void writeByte(const base::FileDescriptor& end) noexcept {
  const char byte = 1;
  // The byte is never read back: a full pipe already says all there is to say.
  [[maybe_unused]] const ssize_t written = ::write(end.get(), &byte, 1);
}

}  // namespace

foundation::Result<std::unique_ptr<Stop>> Stop::make() {
  std::unique_ptr<Stop> stop(new Stop());
  if (foundation::Status made = openPipe(stop->first_); !made.ok()) return made.error();
  if (foundation::Status made = openPipe(stop->second_); !made.ok()) return made.error();
  return stop;
}

bool Stop::requested() const {
  pollfd ready{fd(), POLLIN, 0};
  return poll(&ready, 1, 0) > 0;
}

void Stop::request() noexcept {
  const int saved = errno;
  writeByte(requests_.fetch_add(1, std::memory_order_relaxed) == 0 ? first_[1] : second_[1]);
  errno = saved;
}

}  // namespace host
