#include "tests/support/ChildProcess.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace testing_support {

namespace {

pid_t spawn(const std::vector<std::string>& argv, int output) {
  std::vector<char*> pointers;
  for (const std::string& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, pointers[0], &actions, &attributes, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  EXPECT_EQ(rc, 0) << "posix_spawn " << argv[0] << " failed with errno " << rc;
  return rc == 0 ? pid : -1;
}

int statusOf(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv) {
  CommandResult result;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  const pid_t pid = spawn(argv, out[1]);
  close(out[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) != 0) {
    if (n > 0) result.output.append(buffer, static_cast<std::size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  close(out[0]);
  int raw = 0;
  if (pid > 0 && waitpid(pid, &raw, 0) == pid) result.status = statusOf(raw);
  return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outputFile) {
  const int output = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  EXPECT_GE(output, 0) << outputFile;
  pid_ = spawn(argv, output);
  close(output);
}

bool ChildProcess::running() {
  int raw;
  if (pid_ > 0 && waitpid(pid_, &raw, WNOHANG) == pid_) pid_ = -1;
  return pid_ > 0;
}

void ChildProcess::stop() {
  if (!running()) return;
  kill(pid_, SIGTERM);
  if (!waitFor([this] { return !running(); })) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

int freeLoopbackPort() {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const bool bound = bind(s, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                     getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  close(s);
  EXPECT_TRUE(bound) << "no free port on 127.0.0.1";
  return bound ? ntohs(address.sin_port) : 0;
}

bool waitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace testing_support
