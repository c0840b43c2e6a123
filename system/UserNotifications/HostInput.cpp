#include "UserNotifications/HostInput.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <utility>

#include "UserNotifications/HostOutput.hpp"

namespace usernotifications {

namespace {

constexpr std::size_t kChunkBytes = 64u << 10;

enum class Ready { data, stop, failed };

// Waits until `fd` has something to read (data, its end or an error) or `stopFd` is readable;
// the stop wins when both are.
Ready waitReadable(int fd, int stopFd) {
  for (;;) {
    std::array<pollfd, 2> fds = {pollfd{stopFd, POLLIN, 0}, pollfd{fd, POLLIN, 0}};
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return Ready::failed;
    }
    if (fds[0].revents != 0) return Ready::stop;
    if (fds[1].revents != 0) return Ready::data;
  }
}

// Reads some bytes of `fd` into `buffer`: the count, 0 at the end, -1 with errno set (ECANCELED
// for the stop).
ssize_t readSome(int fd, int stopFd, char* buffer, std::size_t size) {
  for (;;) {
    switch (waitReadable(fd, stopFd)) {
      case Ready::stop:
        errno = ECANCELED;
        return -1;
      case Ready::failed:
        return -1;
      case Ready::data:
        break;
    }
    const ssize_t n = ::read(fd, buffer, size);
    if (n >= 0 || (errno != EINTR && errno != EAGAIN)) return n;
  }
}

// The whole of the file at `path`, read through the cap: at most one byte more than it
// allows, so that a file with no end is refused like any other that is too large.
foundation::Result<std::string> readFile(const std::string& path, int stopFd) {
  // Without O_NONBLOCK, opening a FIFO would wait for a writer and miss the stop.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return foundation::posixError("open(" + path + ")", errno);
  std::string text;
  std::optional<NSError> failure;
  char chunk[kChunkBytes];
  while (text.size() <= kMaximumInputBytes) {
    const std::size_t want = std::min(sizeof chunk, kMaximumInputBytes + 1 - text.size());
    const ssize_t n = readSome(fd, stopFd, chunk, want);
    if (n < 0) {
      failure = foundation::posixError("read(" + path + ")", errno);
      break;
    }
    if (n == 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (failure) return *std::move(failure);
  if (text.size() > kMaximumInputBytes) {
    return NSError{NSPOSIXErrorDomain, EFBIG, "larger than 4 MiB"};
  }
  return text;
}

}  // namespace

void HostInput::error(const std::string& message) {
  printError(message);
  failed_ = true;
}

void HostInput::readFiles(const std::vector<std::string>& files) {
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string& file = files[i];
    foundation::Result<std::string> text = readFile(file, stopFd_);
    if (!text.ok()) {
      const NSError& why = text.error();
      if (why.code == ECANCELED) {
        // Stopped: input not read, like the rest after it, and not bad input.
        const std::size_t rest = files.size() - i - 1;
        printError(file + ": not read before the stop" +
                   (rest == 0 ? std::string()
                              : ", nor the " + std::to_string(rest) +
                                    (rest == 1 ? " file" : " files") + " after it"));
        return;
      }
      error(file + ": " + (why.code == EFBIG ? "" : "cannot read: ") + why.description);
      continue;
    }
    foundation::Result<nlohmann::json> payload = parseJSON(*text);
    if (!payload.ok()) {
      error(file + ": " + payload.error().description);
      continue;
    }
    foundation::Result<PushRequest> request = pushRequestFromPayload(file, *std::move(payload));
    if (!request.ok()) {
      error(file + ": " + request.error().description);
      continue;
    }
    sink_(*std::move(request));
  }
}

void HostInput::line(std::string_view text, std::size_t number) {
  while (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  if (text.find_first_not_of(" \t") == std::string_view::npos) return;
  foundation::Result<InputLine> parsed = parseInputLine(text, number);
  if (!parsed.ok()) {
    error("line " + std::to_string(number) + ": " + parsed.error().description);
    return;
  }
  foundation::Result<PushRequest> request =
      pushRequestFromPayload(std::move(parsed->identifier), std::move(parsed->payload));
  if (!request.ok()) {
    error("line " + std::to_string(number) + ": " + request.error().description);
    return;
  }
  sink_(*std::move(request));
}

void HostInput::readLines(int fd) {
  std::string pending;    // the start of a line whose end has not arrived yet
  bool skipping = false;  // the rest of a line over the cap, which is dropped up to its end
  std::size_t number = 0;
  char chunk[kChunkBytes];
  bool stopped = false;
  for (;;) {
    const ssize_t n = readSome(fd, stopFd_, chunk, sizeof chunk);
    stopped = n < 0 && errno == ECANCELED;
    if (n < 0 && !stopped) {
      error("standard input: " + foundation::errorString(errno));
    }
    if (n <= 0) break;
    std::string_view rest(chunk, static_cast<std::size_t>(n));
    while (!rest.empty()) {
      const std::size_t end = rest.find('\n');
      const std::string_view piece = rest.substr(0, end);
      rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
      if (skipping) {
        skipping = end == std::string_view::npos;
        continue;
      }
      if (pending.size() + piece.size() > kMaximumInputBytes) {
        error("line " + std::to_string(++number) + ": longer than 4 MiB");
        skipping = end == std::string_view::npos;
        pending = std::string();
        continue;
      }
      if (end == std::string_view::npos) {
        pending.append(piece);
      } else if (pending.empty()) {
        line(piece, ++number);
      } else {
        pending.append(piece);
        line(pending, ++number);
        pending.clear();
      }
    }
  }
  if (pending.empty()) return;
  // A last line without its newline still counts, as it does at the end of a file. At the
  // stop its end is in the input not read, like the lines after it: not a request, and not
  // a fault of the input either.
  if (stopped) {
    printError("line " + std::to_string(++number) + ": its end was not read before the stop");
  } else {
    line(pending, ++number);
  }
}

}  // namespace usernotifications
