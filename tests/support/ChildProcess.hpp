// Child processes for the servers that tests start (nginx, tinyproxy), the commands they run
// (openssl, readelf) and the extension executable: every signal at its default action and
// none blocked, whatever the test's runner ignores, and the environment of the test. Not
// thread-safe; one owner each.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

struct CommandResult {
  int status = -1;     // the exit status, or 128 + the signal that ended the command
  std::string output;  // standard output and standard error, interleaved as written
};

// Runs `argv` (argv[0] a path) to its end.
CommandResult runCommand(const std::vector<std::string>& argv);

// The descriptors a child starts with, as its own; the caller still closes them.
struct ChildStreams {
  int input = -1;  // standard input; -1: /dev/null
  int output = -1;
  int error = -1;
  int descriptor3 = -1;               // -1: none
  std::string workingDirectory = {};  // empty: the test's own
};

// A process started by the constructor and stopped (SIGTERM, then SIGKILL after a minute)
// by stop() or the destructor.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const ChildStreams& streams);
  // Appends the child's standard output and standard error to `outputFile`; with
  // `descriptor3`, as ChildStreams.
  ChildProcess(const std::vector<std::string>& argv, const std::string& outputFile,
               int descriptor3 = -1);
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Whether it has not exited yet.
  bool running();
  // Waits for the exit: the exit status, or 128 + the signal that ended it; -1 when it had
  // already been seen to end.
  int wait();
  void stop();

 private:
  pid_t pid_ = -1;
};

// Starts a server on a port of 127.0.0.1 that was free a moment ago: `start(port)` writes
// what the server needs and gives its command line, `ready()` tells once it holds the port.
// A server whose port was taken meanwhile exits, and is started again on another port, up to
// five times. Gives the port, or 0 when the server never started.
int startOnFreePort(std::unique_ptr<ChildProcess>& server, const std::string& outputFile,
                    const std::function<std::vector<std::string>(int port)>& start,
                    const std::function<bool()>& ready);

// Asks `done` every 10 ms until it says yes (true) or a minute has passed (false).
bool waitFor(const std::function<bool()>& done);

}  // namespace testing_support
