#include "tests/support/ChildProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>

extern char** environ;

namespace testing_support {

namespace {

std::string errnoText(const char* call) { return std::string(call) + ": " + std::strerror(errno); }

std::vector<std::string> childEnvironment(const ChildOptions& options) {
  auto replaced = [&](std::string_view entry) {
    std::string_view name = entry.substr(0, entry.find('='));
    for (const auto& [key, value] : options.environment) {
      if (key == name) return true;
    }
    return false;
  };
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (!replaced(*e)) env.emplace_back(*e);
  }
  for (const auto& [key, value] : options.environment) env.push_back(key + "=" + value);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

ChildProcess::ChildProcess(ChildOptions options) {
  // Writing to a child that has exited must fail with EPIPE, not end the test process.
  signal(SIGPIPE, SIG_IGN);

  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    startError_ = errnoText("pipe2");
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
      if (fd >= 0) close(fd);
    }
    return;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // dup2 clears close-on-exec on the copies; every other descriptor of ours closes at exec.
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  if (!options.workingDirectory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The child starts with default signal handling, not the SIGPIPE we ignore.
  sigset_t all;
  sigfillset(&all);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> argv = options.argv;
  std::vector<std::string> env = childEnvironment(options);
  std::vector<char*> argvp = pointers(argv);
  std::vector<char*> envp = pointers(env);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv.at(0).c_str(), &actions, &attr, argvp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    startError_ = "posix_spawn(" + argv.at(0) + "): " + std::strerror(rc);
    close(in[1]);
    close(out[0]);
    close(err[0]);
    return;
  }
  pid_ = pid;
  stdinFd_ = in[1];
  stdoutFd_ = out[0];
  stderrFd_ = err[0];
  for (int fd : {stdinFd_, stdoutFd_, stderrFd_}) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  if (options.stdinMode == ChildOptions::Stdin::kText) pendingStdin_ = std::move(options.stdinText);
  if (pendingStdin_.empty()) closeFd(stdinFd_);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !exitStatus_) {
    kill(pid_, SIGKILL);
    reap(/*block=*/true);
  }
  closeFd(stdinFd_);
  closeFd(stdoutFd_);
  closeFd(stderrFd_);
}

void ChildProcess::closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

void ChildProcess::pumpOnce(int timeoutMs) {
  pollfd fds[3];
  nfds_t n = 0;
  for (int fd : {stdoutFd_, stderrFd_}) {
    if (fd >= 0) fds[n++] = pollfd{fd, POLLIN, 0};
  }
  if (stdinFd_ >= 0 && !pendingStdin_.empty()) fds[n++] = pollfd{stdinFd_, POLLOUT, 0};
  if (n == 0) return;
  int ready = poll(fds, n, timeoutMs);
  if (ready <= 0) return;
  for (nfds_t i = 0; i < n; ++i) {
    if (fds[i].revents == 0) continue;
    if (fds[i].fd == stdinFd_) {
      ssize_t w = write(stdinFd_, pendingStdin_.data(), pendingStdin_.size());
      if (w > 0) {
        pendingStdin_.erase(0, static_cast<std::size_t>(w));
        if (pendingStdin_.empty()) closeFd(stdinFd_);
      } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
        // The child stopped reading; what it did not take is dropped.
        pendingStdin_.clear();
        closeFd(stdinFd_);
      }
      continue;
    }
    bool isOut = fds[i].fd == stdoutFd_;
    char buf[1 << 16];
    ssize_t r = read(fds[i].fd, buf, sizeof buf);
    if (r > 0) {
      (isOut ? stdout_ : stderr_).append(buf, static_cast<std::size_t>(r));
    } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
      closeFd(isOut ? stdoutFd_ : stderrFd_);
    }
  }
}

template <class Done>
bool ChildProcess::pumpUntil(Clock::time_point until, Done done) {
  while (!done()) {
    if (stdoutFd_ < 0 && stderrFd_ < 0 && (stdinFd_ < 0 || pendingStdin_.empty())) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return false;
    pumpOnce(static_cast<int>(std::min<long long>(left.count() + 1, 1000)));
  }
  return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds deadline) {
  if (!pumpUntil(Clock::now() + deadline,
                 [&] { return stdout_.find('\n') != std::string::npos || stdoutFd_ < 0; })) {
    timedOut_ = true;
    return std::nullopt;
  }
  std::size_t newline = stdout_.find('\n');
  if (newline == std::string::npos) {
    if (stdout_.empty()) return std::nullopt;
    return std::exchange(stdout_, std::string());
  }
  std::string line = stdout_.substr(0, newline);
  stdout_.erase(0, newline + 1);
  return line;
}

std::vector<std::string> ChildProcess::readAllLines(std::chrono::milliseconds deadline) {
  const Clock::time_point until = Clock::now() + deadline;
  std::vector<std::string> lines;
  while (std::optional<std::string> line = readLine(
             std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()))) {
    lines.push_back(std::move(*line));
  }
  return lines;
}

bool ChildProcess::reap(bool block) {
  if (exitStatus_) return true;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r != pid_) return false;
  exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

int ChildProcess::wait(std::chrono::milliseconds deadline) {
  if (pid_ <= 0) return -1;
  const Clock::time_point until = Clock::now() + deadline;
  // The output is drained first, so a child blocked on a full pipe can finish.
  if (!pumpUntil(until, [] { return false; })) {
    timedOut_ = true;
    return -1;
  }
  // Closing its output is the child's last act but one; exit follows promptly.
  while (!reap(/*block=*/false)) {
    if (Clock::now() >= until) {
      timedOut_ = true;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return *exitStatus_;
}

}  // namespace testing_support
