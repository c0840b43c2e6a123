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

#include "tests/support/TempDir.hpp"

namespace testing_support {

namespace {

pid_t spawn(const std::vector<std::string>& argv, const ChildStreams& streams) {
  std::vector<char*> pointers;
  for (const std::string& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (streams.input < 0) {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  // Descriptor 3 last, after its number's old holder was copied; dup2 onto the same number
  // also clears close-on-exec.
  const int from[] = {streams.input, streams.output, streams.error, streams.descriptor3};
  for (int to = 0; to < 4; ++to) {
    if (from[to] >= 0) posix_spawn_file_actions_adddup2(&actions, from[to], to);
  }
  if (!streams.workingDirectory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, streams.workingDirectory.c_str());
  }
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

// A port of 127.0.0.1 that was free a moment ago (bound to port 0, then released).
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

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv) {
  TempDir dir;
  ChildProcess command(argv, dir.file("output"));
  const int status = command.wait();
  return {status, readFile(dir.file("output"))};
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ChildStreams& streams)
    : pid_(spawn(argv, streams)) {}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outputFile,
                           int descriptor3) {
  const int output = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  EXPECT_GE(output, 0) << outputFile;
  pid_ = spawn(argv, {.output = output, .error = output, .descriptor3 = descriptor3});
  close(output);
}

bool ChildProcess::running() {
  if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
  return pid_ > 0;
}

int ChildProcess::wait() {
  int raw = 0;
  if (pid_ <= 0 || waitpid(pid_, &raw, 0) != pid_) return -1;
  pid_ = -1;
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

void ChildProcess::stop() {
  if (!running()) return;
  kill(pid_, SIGTERM);
  if (!waitFor([this] { return !running(); })) {
    kill(pid_, SIGKILL);
    wait();
  }
}

int startOnFreePort(std::unique_ptr<ChildProcess>& server, const std::string& outputFile,
                    const std::function<std::vector<std::string>(int port)>& start,
                    const std::function<bool()>& ready) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    const int port = freeLoopbackPort();
    server = std::make_unique<ChildProcess>(start(port), outputFile);
    waitFor([&] { return !server->running() || ready(); });
    if (server->running()) return port;
  }
  return 0;
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
