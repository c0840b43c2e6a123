#include "host/Output.hpp"

#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "System/os_log.hpp"
#include "base/FileDescriptor.hpp"
#include "base/FileIdentity.hpp"

namespace host {

namespace {

using SteadyClock = std::chrono::steady_clock;

bool mayBlock(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return false;
  return S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || isatty(fd) == 1;
}

}  // namespace

Output::Output(int fd, const Stop& stop, std::chrono::milliseconds drain)
    : fd_(fd), stop_(stop), drain_(drain), mayWait_(mayBlock(fd)) {
  const std::optional<base::FileIdentity> out = base::FileIdentity::of(fd);
  besideLog_ = out && out == base::FileIdentity::of(STDERR_FILENO);
}

LineSink::Written Output::giveUp(std::string_view text) {
  givenUp_ = true;
  // Lines are whole: what is left ends with the last one's newline, and may begin inside the
  // first one.
  unwritten_ += static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  return Written::failed;
}

LineSink::Written Output::writeWatchingStop(std::string_view text) {
  while (!text.empty()) {
    if (!drainUntil_ && stop_.requested()) drainUntil_ = SteadyClock::now() + drain_;
    // After the stop, a second one gives up at once.
    pollfd fds[2] = {{fd_, POLLOUT, 0}, {drainUntil_ ? stop_.urgentFd() : stop_.fd(), POLLIN, 0}};
    int timeout = -1;
    if (drainUntil_) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(*drainUntil_ - SteadyClock::now());
      timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
    }
    const int ready = poll(fds, 2, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      error_ = errno;
      return Written::failed;
    }
    if (ready == 0) return giveUp(text);  // the drain's time is up
    if (fds[1].revents != 0) {
      if (drainUntil_) return giveUp(text);
      continue;  // the stop: from now on the drain's time counts
    }
    // A writable pipe takes PIPE_BUF bytes without blocking; more might wait for the reader.
    const ssize_t written = ::write(fd_, text.data(), std::min<std::size_t>(text.size(), PIPE_BUF));
    if (written < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (written < 0) {
      error_ = errno;
      return Written::failed;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return Written::yes;
}

LineSink::Written Output::writeText(std::string_view text) {
  // Both streams on one file or pipe: output lines and the log's take turns whole.
  std::optional<system_log::SinkLock> sink;
  if (besideLog_) sink.emplace();
  if (mayWait_) return writeWatchingStop(text);
  if ((error_ = base::writeAll(fd_, text)) != 0) return Written::failed;
  return Written::yes;
}

LineSink::Written Output::writeHeld() {
  if (held_.empty()) return Written::yes;
  // Cleared, not moved from: the next burst's lines go into the room this one's had.
  Written written = Written::failed;
  if (error_ == 0) written = givenUp_ ? giveUp(held_) : writeText(held_);
  held_.clear();
  return written;
}

LineSink::Written Output::writeLine(std::string line) {
  line.push_back('\n');
  base::MutexLock lock(mu_);
  if (closed_) return Written::closed;
  if (error_ != 0) return Written::failed;
  if (givenUp_) {
    ++unwritten_;
    return Written::failed;
  }
  if (holder_ == std::this_thread::get_id()) {
    held_ += line;
    return held_.size() < kHeldBytes ? Written::yes : writeHeld();
  }
  if (const Written held = writeHeld(); held != Written::yes) {
    if (givenUp_) ++unwritten_;  // this line goes with them
    return held;
  }
  return writeText(line);
}

void Output::hold() {
  base::MutexLock lock(mu_);
  holder_ = std::this_thread::get_id();
}

LineSink::Written Output::flush() {
  base::MutexLock lock(mu_);
  holder_ = std::thread::id();
  return writeHeld();
}

void Output::close() {
  base::MutexLock lock(mu_);
  // Held lines were taken as written.
  (void)writeHeld();
  holder_ = std::thread::id();
  closed_ = true;
}

foundation::Status Output::status() const {
  base::MutexLock lock(mu_);
  if (error_ == 0) return {};
  return foundation::posixError("write(standard output)", error_);
}

std::size_t Output::unwritten() const {
  base::MutexLock lock(mu_);
  return unwritten_;
}

}  // namespace host
