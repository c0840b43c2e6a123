#include "host/Input.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <utility>

#include "base/FileDescriptor.hpp"

namespace host {

namespace {

constexpr std::size_t kChunkBytes = 64u << 10;

// What one read brought: bytes, the end of the input, the stop, or a failure (its errno).
struct Read {
  enum Kind { bytes, end, stop, failure } kind;
  std::size_t count = 0;
  int error = 0;
};

// Reads some bytes of `fd` into `buffer` once it has something to read (data, its end or an
// error), or stops waiting at the stop; the stop wins when both are there.
Read readSome(int fd, const Stop& stop, char* buffer, std::size_t size) {
  for (;;) {
    std::array<pollfd, 2> fds = {pollfd{stop.fd(), POLLIN, 0}, pollfd{fd, POLLIN, 0}};
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return {Read::failure, 0, errno};
    }
    if (fds[0].revents != 0) return {Read::stop, 0, 0};
    if (fds[1].revents == 0) continue;
    const ssize_t n = ::read(fd, buffer, size);
    if (n > 0) return {Read::bytes, static_cast<std::size_t>(n), 0};
    if (n == 0) return {Read::end, 0, 0};
    if (errno != EINTR && errno != EAGAIN) return {Read::failure, 0, errno};
  }
}

// A payload file's bytes, or why there are none.
struct FileText {
  enum Kind { read, stopped, failed } kind;
  std::string text;
  std::string error;  // for failed: what to say after the file's name
};

// The whole of the file at `path`, read through the cap: at most one byte more than it allows,
// so that a file with no end is refused like any other that is too large.
FileText readFile(const std::string& path, const Stop& stop) {
  // Without O_NONBLOCK, opening a FIFO would wait for a writer and miss the stop.
  const base::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) {
    return {FileText::failed,
            {},
            "cannot read: " + foundation::posixError("open(" + path + ")", errno).description};
  }
  std::string text;
  char chunk[kChunkBytes];
  while (text.size() <= kMaximumInputBytes) {
    const std::size_t want = std::min(sizeof chunk, kMaximumInputBytes + 1 - text.size());
    const Read got = readSome(fd.get(), stop, chunk, want);
    if (got.kind == Read::stop) return {FileText::stopped, {}, {}};
    if (got.kind == Read::failure) {
      return {
          FileText::failed,
          {},
          "cannot read: " + foundation::posixError("read(" + path + ")", got.error).description};
    }
    if (got.kind == Read::end) break;
    text.append(chunk, got.count);
  }
  if (text.size() > kMaximumInputBytes) return {FileText::failed, {}, "larger than 4 MiB"};
  return {FileText::read, std::move(text), {}};
}

}  // namespace

void Input::error(const std::string& message) {
  diagnostics_.report(message);
  failed_ = true;
}

void Input::readFiles(const std::vector<std::string>& files) {
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string& file = files[i];
    FileText read = readFile(file, stop_);
    if (read.kind == FileText::stopped) {
      // Not bad input, but input not read, like the rest after it.
      const std::size_t rest = files.size() - i - 1;
      error(file + ": not read before the stop" +
            (rest == 0 ? std::string()
                       : ", nor the " + std::to_string(rest) + (rest == 1 ? " file" : " files") +
                             " after it"));
      return;
    }
    if (read.kind == FileText::failed) {
      error(file + ": " + read.error);
      continue;
    }
    foundation::Result<PushRequest> request = requestFromPayloadText(file, read.text);
    if (!request.ok()) {
      error(file + ": " + request.error().description);
      continue;
    }
    sink_(*std::move(request));
  }
}

void Input::line(std::string_view text, std::size_t number) {
  while (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  if (text.find_first_not_of(" \t") == std::string_view::npos) return;
  foundation::Result<PushRequest> request = requestFromLine(text, number);
  if (!request.ok()) {
    error("line " + std::to_string(number) + ": " + request.error().description);
    return;
  }
  sink_(*std::move(request));
}

void Input::readLines(int fd) {
  std::string pending;    // the start of a line whose end has not arrived yet
  bool skipping = false;  // the rest of a line over the cap, which is dropped up to its end
  std::size_t number = 0;
  char chunk[kChunkBytes];
  bool stopped = false;
  for (;;) {
    const Read got = readSome(fd, stop_, chunk, sizeof chunk);
    stopped = got.kind == Read::stop;
    if (got.kind == Read::failure) error("standard input: " + foundation::errorString(got.error));
    if (got.kind != Read::bytes) break;
    std::string_view rest(chunk, got.count);

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
  // stop its end is in the input not read, like the lines after it: not a request, and input
  // the run did not read.
  if (stopped) {
    error("line " + std::to_string(++number) + ": its end was not read before the stop");
  } else {
    line(pending, ++number);
  }
}

}  // namespace host
