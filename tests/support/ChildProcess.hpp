// ChildProcess: an executable run by a test, with its standard output and error captured
// through pipes. Standard output can be read line by line as it arrives, so a test can react
// to an event the child reports; standard error is collected whole. A child still running
// when the object goes is killed and reaped. Not thread-safe; one owner.
//
// Every wait has a safety deadline (60 s unless given): it bounds a broken run, it is not a
// timing assertion.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

inline constexpr std::chrono::milliseconds kChildSafetyDeadline = std::chrono::seconds(60);

struct ChildOptions {
  // argv[0] is the executable's path. REQUIRES: not empty.
  std::vector<std::string> argv;
  // Variables set for the child on top of the test's own environment.
  std::vector<std::pair<std::string, std::string>> environment;
  // Empty: the test's working directory.
  std::string workingDirectory;

  enum class Stdin {
    kClosed,  // the child reads end of file at once
    kText,    // the child reads `stdinText`, then end of file
  };
  Stdin stdinMode = Stdin::kClosed;
  std::string stdinText;
};

class ChildProcess {
 public:
  // Starts the child. When that fails, started() is false and startError() says why.
  explicit ChildProcess(ChildOptions options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  const std::string& startError() const { return startError_; }

  // The next line of standard output without its newline (a last line without one counts);
  // absent at end of output or when the deadline passes first (then timedOut() is true).
  std::optional<std::string> readLine(std::chrono::milliseconds deadline = kChildSafetyDeadline);
  // Every line that readLine would still give, up to end of output.
  std::vector<std::string> readAllLines(std::chrono::milliseconds deadline = kChildSafetyDeadline);
  bool timedOut() const { return timedOut_; }

  // Waits until the child has closed its output and exited. The exit status; 128 + the
  // signal number when a signal ended it; -1 when the deadline passed (the child is then
  // killed by the destructor).
  int wait(std::chrono::milliseconds deadline = kChildSafetyDeadline);

  // Standard error so far (all of it after wait()).
  const std::string& stderrText() const { return stderr_; }

 private:
  using Clock = std::chrono::steady_clock;

  // Moves data between the pipes and the buffers until `done` holds, every pipe is closed,
  // or `until` passes; false when it stopped at `until`.
  template <class Done>
  bool pumpUntil(Clock::time_point until, Done done);
  // One poll round of at most `timeoutMs`.
  void pumpOnce(int timeoutMs);
  void closeFd(int& fd);
  bool reap(bool block);

  pid_t pid_ = -1;
  std::string startError_;
  int stdinFd_ = -1;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  std::string pendingStdin_;  // written while output is read, so neither side blocks
  std::string stdout_;        // read but not yet handed out by readLine
  std::string stderr_;
  bool timedOut_ = false;
  std::optional<int> exitStatus_;
};

}  // namespace testing_support
